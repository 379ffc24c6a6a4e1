/* A stand-in process for one image of a workload: the simulator copies this program
 * to the image's path under drive C and starts it there, so that the library finds a
 * live process with that image behind the pid an event names. It does nothing but
 * wait, and it must not outlive the simulator: the kernel kills it when the thread
 * that started it ends (the simulator starts every placeholder from its main
 * thread). argv[1] is that parent's pid; a parent that died before the request was
 * made cannot be waited for, so then it leaves at once. */
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) return 1;
  if (argc < 2 || getppid() != (pid_t)strtol(argv[1], NULL, 10)) return 0;
  for (;;) pause();
}
