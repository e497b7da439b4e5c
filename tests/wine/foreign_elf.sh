# Sourced by the rig's own tests. foreign_elf FILE: writes a 52-byte ELF
# header (32-bit, little-endian, an executable for machine 0xbeef, which no
# kernel runs) to FILE and makes it executable. execve refuses it with
# ENOEXEC, "Exec format error", exactly as a kernel without 32-bit support
# refuses the 32-bit loader.
foreign_elf() {
    {
        printf '\x7fELF\x01\x01\x01'
        printf '\x00%.0s' $(seq 9)
        printf '\x02\x00\xef\xbe\x01\x00\x00\x00'
        printf '\x00%.0s' $(seq 28)
    } >"$1"
    chmod +x "$1"
}
