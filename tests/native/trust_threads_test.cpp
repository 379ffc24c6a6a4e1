// The posix trust provider from several threads at once: the trust store is loaded
// by whichever verification comes first and then shared, and every thread gets the
// answer a lone caller gets. Also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/authenticode.h"

namespace {

namespace platform = acdc::platform;

std::u16string Fixture(const char* name) {
  std::string path = std::string(ACDC_SIGNING) + "/" + name;
  return std::u16string(path.begin(), path.end());
}

struct Outcome {
  uint32_t result;
  platform::Win32Error last_error;
};

Outcome Verify(const std::u16string& path, uint32_t flags) {
  platform::WinTrustFileInfo file = {sizeof file, path.c_str(), nullptr, nullptr};
  platform::WinTrustData data = {};
  data.struct_size = sizeof data;
  data.ui_choice = platform::kWtdUiNone;
  data.union_choice = platform::kWtdChoiceFile;
  data.file = &file;
  data.state_action = platform::kWtdStateActionVerify;
  data.provider_flags = flags;
  Outcome o{platform::WinVerifyTrust(platform::kGenericVerifyV2, &data), platform::TrustLastError()};
  data.state_action = platform::kWtdStateActionClose;
  platform::WinVerifyTrust(platform::kGenericVerifyV2, &data);
  return o;
}

struct Case {
  const char* file;
  uint32_t flags;
  uint32_t result;
};

const Case kCases[] = {
    {"signed.exe", 0, 0},
    {"chaining.exe", 0, platform::kCertEChaining},
    {"chaining.exe", platform::kWtdHashOnlyFlag, 0},
    {"untrusted.exe", 0, platform::kCertEUntrustedRoot},
    {"expired.exe", 0, platform::kCertEExpired},
    {"usage.exe", 0, platform::kCertEWrongUsage},
    {"changed.exe", 0, platform::kTrustEBadDigest},
    {"unsigned.exe", 0, platform::kTrustENoSignature},
};

TEST(TrustThreads, FourThreadsShareTheStoreAndEachGetsEveryAnswer) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 5;
  std::atomic<int> ready{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      for (int round = 0; round < kRounds; ++round) {
        // Each thread starts at its own case, so the first verifications differ.
        for (size_t i = 0; i < std::size(kCases); ++i) {
          const Case& c = kCases[(i + static_cast<size_t>(t)) % std::size(kCases)];
          Outcome o = Verify(Fixture(c.file), c.flags);
          if (o.result != c.result || o.last_error != c.result) wrong.fetch_add(1);
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(0, wrong.load());
  // The last error is the thread's own: another thread's failures do not show here.
  EXPECT_EQ(0u, Verify(Fixture("signed.exe"), 0).last_error);
}

TEST(TrustThreads, RefusesAnotherActionAndRecordsWithoutAFile) {
  platform::WinTrustData data = {};
  data.struct_size = sizeof data;
  data.union_choice = platform::kWtdChoiceFile;
  platform::Guid other = platform::kGenericVerifyV2;
  other.data4[7] ^= 1;
  EXPECT_EQ(platform::kTrustEActionUnknown, platform::WinVerifyTrust(other, &data));
  EXPECT_EQ(platform::kTrustEActionUnknown, platform::TrustLastError());
  EXPECT_EQ(0x80070057u, platform::WinVerifyTrust(platform::kGenericVerifyV2, &data));
  EXPECT_EQ(platform::kErrorInvalidParameter, platform::TrustLastError());
  std::u16string path = Fixture("signed.exe");
  platform::WinTrustFileInfo file = {sizeof file, path.c_str(), nullptr, nullptr};
  data.file = &file;
  data.struct_size = 72;  // older than the fields this provider reads
  EXPECT_EQ(0x80070057u, platform::WinVerifyTrust(platform::kGenericVerifyV2, &data));
  data.struct_size = sizeof data;
  data.state_action = 0;  // verify without state: the same as verify
  EXPECT_EQ(0u, platform::WinVerifyTrust(platform::kGenericVerifyV2, &data));
}

}  // namespace
