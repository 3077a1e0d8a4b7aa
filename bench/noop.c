/* A process that does nothing, built and linked like bellTap. */
int main(void)
{
    return 0;
}
