// WinVerifyTrust on a signed PE image of 20 MiB against `osslsigncode verify` on the
// same file, both with the test root trusted: the image digest over the whole file,
// the signature, the chain and the checks after it.
//
// Both figures are CPU time, the fastest of several runs taken in turns: ours is the
// calling thread's time for one verification in this process (the trust store is
// loaded by a first call that is not timed, as a long-running agent loads it once);
// the baseline is a whole osslsigncode process's user and system time, which also
// loads its CA file and starts up. The signing fixtures are made first, with the
// large image (tests/signing/make_fixtures.sh --large).
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/authenticode.h"

namespace {

namespace platform = acdc::platform;

constexpr int kRuns = 7;

double ThreadSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

uint32_t Verify(const std::u16string& path) {
  platform::WinTrustFileInfo file = {sizeof file, path.c_str(), nullptr, nullptr};
  platform::WinTrustData data = {};
  data.struct_size = sizeof data;
  data.ui_choice = platform::kWtdUiNone;
  data.union_choice = platform::kWtdChoiceFile;
  data.file = &file;
  data.state_action = platform::kWtdStateActionVerify;
  uint32_t result = platform::WinVerifyTrust(platform::kGenericVerifyV2, &data);
  data.state_action = platform::kWtdStateActionClose;
  platform::WinVerifyTrust(platform::kGenericVerifyV2, &data);
  return result;
}

// The user and system time of one `osslsigncode verify`, or a negative value when it
// does not verify the image.
double OsslsigncodeSeconds(const std::string& image, const std::string& roots) {
  pid_t pid = fork();
  if (pid == 0) {
    FILE* quiet = std::freopen("/dev/null", "w", stdout);
    quiet = std::freopen("/dev/null", "w", stderr);
    (void)quiet;
    execlp("osslsigncode", "osslsigncode", "verify", "-in", image.c_str(), "-CAfile", roots.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return -1;
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

std::string OsslsigncodeVersion() {
  FILE* p = popen("osslsigncode --version 2>&1", "r");
  if (p == nullptr) return "?";
  char line[256] = "";
  if (std::fgets(line, sizeof line, p) == nullptr) line[0] = '\0';
  pclose(p);
  std::string v = line;  // "osslsigncode 2.5, using:"
  size_t start = v.find(' ');
  size_t end = v.find_first_of(", \n", start + 1);
  return start == std::string::npos ? "?" : v.substr(start + 1, end - start - 1);
}

}  // namespace

int main() {
  const std::string dir = ACDC_SIGNING;
  std::string make = std::string("sh ") + ACDC_SOURCE_DIR + "/tests/signing/make_fixtures.sh " + dir + " --large";
  if (std::system(make.c_str()) != 0) {
    std::fprintf(stderr, "trust_bench: the signing fixtures could not be made\n");
    return 1;
  }
  const std::string image = dir + "/large.exe";
  const std::u16string path(image.begin(), image.end());
  if (Verify(path) != 0) {
    std::fprintf(stderr, "trust_bench: WinVerifyTrust does not trust %s\n", image.c_str());
    return 1;
  }
  double ours = 1e9, theirs = 1e9;
  for (int i = 0; i < kRuns; ++i) {
    double t0 = ThreadSeconds();
    uint32_t result = Verify(path);
    double t = ThreadSeconds() - t0;
    double o = OsslsigncodeSeconds(image, dir + "/test-roots.pem");
    if (result != 0 || o < 0) {
      std::fprintf(stderr, "trust_bench: a verification failed (result 0x%X, osslsigncode %s)\n", result,
                   o < 0 ? "failed" : "verified");
      return 1;
    }
    if (t < ours) ours = t;
    if (o < theirs) theirs = o;
  }
  std::printf("FIGURE WinVerifyTrust on a 20 MiB signed PE against osslsigncode %s verify\t%.1f ms\t%.1f ms\t%.2fx\t"
              "lower is better (goal <= 1.0x)\n",
              OsslsigncodeVersion().c_str(), ours * 1e3, theirs * 1e3, ours / theirs);
  return 0;
}
