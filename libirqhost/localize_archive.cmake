# Leaves only the irqhost_* functions global in the static library: its
# objects are linked into one, in which every other symbol becomes local, so
# that a program's own functions of the same names neither clash with the
# library's nor take their calls. Run after the archive is made:
#   cmake -DARCHIVE=... -DLINKER=... -DOBJCOPY=... -DAR=... -P localize_archive.cmake
set(work "${ARCHIVE}.localize")
file(REMOVE_RECURSE "${work}")
file(MAKE_DIRECTORY "${work}")
execute_process(COMMAND "${LINKER}" -r --whole-archive "${ARCHIVE}" -o "${work}/irqhost.o" COMMAND_ERROR_IS_FATAL ANY)
# Objects built for link-time optimization also carry the compiler's own
# form of the code, whose symbol table a linker plugin would read instead of
# the machine code's: the archive keeps the machine code alone.
execute_process(COMMAND "${OBJCOPY}" --wildcard --keep-global-symbol=irqhost_* --remove-section=.gnu.lto_*
                        --remove-section=.gnu.debuglto_* "${work}/irqhost.o" COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE "${ARCHIVE}")
execute_process(COMMAND "${AR}" rcs "${ARCHIVE}" "${work}/irqhost.o" COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE_RECURSE "${work}")
