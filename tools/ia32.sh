# Sourced by the Wine and installer stages: whether this machine's kernel runs 32-bit x86 programs.
#
# Some kernels refuse them ("32-bit emulation disabled": exec gives "Exec format error"), and then
# no 32-bit Wine can work, however well it installs. It is a property of the kernel a machine boots,
# not of the project: a kernel built with IA-32 emulation can have it switched off by a boot
# parameter (ia32_emulation=off), so some of our machines run 32-bit programs and some refuse
# them, and only trying tells. The probe is a minimal 32-bit ELF program written byte by byte here
# (no 32-bit compiler or library needed): it calls exit(42) through int 0x80. It goes into build/, as /tmp may be mounted noexec.

# kernel_runs_i386: returns 0 when the probe ran; otherwise 1, with the reason in ia32_error.
kernel_runs_i386() {
  local probe status=0
  mkdir -p build
  probe="$(mktemp build/i386-probe.XXXXXX)"
  # ELF header: 32-bit, little-endian, executable, i386, entry 0x08048054, one program header.
  printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0\0\0\0\0' >"$probe"
  printf '\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0' >>"$probe"
  # The program header: load the file's 96 bytes at 0x08048000, readable and executable.
  printf '\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10\140\0\0\0\140\0\0\0\5\0\0\0\0\20\0\0' >>"$probe"
  # mov eax, 1 (exit); mov ebx, 42; int 0x80
  printf '\270\1\0\0\0\273\52\0\0\0\315\200' >>"$probe"
  chmod +x "$probe"
  ia32_error="$("$probe" 2>&1)" || status=$?
  rm -f "$probe"
  [ "$status" -eq 42 ] && return 0
  ia32_error="${ia32_error##*: }"
  ia32_error="${ia32_error:-the probe exited with status $status}"
  return 1
}
