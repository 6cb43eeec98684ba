# Shared by the scripts: whether this machine runs 32-bit x86 programs natively.
# A binfmt_misc entry for i386 ELF (qemu-user) also makes execve succeed, but Wine under
# user-mode emulation takes about a minute per process start; only native execution counts.
runs_i386_natively() {
    ! grep -qs '^magic 7f454c4601' /proc/sys/fs/binfmt_misc/*[!s] &&
        /lib/ld-linux.so.2 --version >/dev/null 2>&1
}
