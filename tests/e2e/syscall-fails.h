// For the tests of what the programs do when the kernel refuses a call: close_range, as on
// a kernel before 5.9 or under a container's seccomp filter, or fork, as at the process
// limit.
#ifndef QUILLET_TESTS_E2E_SYSCALL_FAILS_H
#define QUILLET_TESTS_E2E_SYSCALL_FAILS_H

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cstddef>

// From here on the system call number fails with error, in this process and every one it
// forks or executes. False when the filter cannot be installed.
inline bool MakeSyscallFail(long number, int error) {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (unsigned)number, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (unsigned)error),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog program = {(unsigned short)(sizeof filter / sizeof *filter), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

#endif  // QUILLET_TESTS_E2E_SYSCALL_FAILS_H
