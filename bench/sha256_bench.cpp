// SHA-256 throughput: our portable and SHA-NI block functions against OpenSSL's EVP SHA-256,
// each over 1 MiB buffers, followed by the ratios. With --file=PATH it instead prints one
// file's digest, so that a script can time it beside sha256sum and `openssl dgst`.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "format/Sha256.h"

namespace {

constexpr size_t KBufferSize = size_t{1} << 20;
// Small enough that each chunk is still in L1/L2 when it is hashed right after the read.
constexpr size_t KFileChunk = size_t{64} << 10;
constexpr double KMega = 1e6;

const std::vector<uint8_t>& Buffer() {
  static const std::vector<uint8_t> buffer = [] {
    std::vector<uint8_t> out(KBufferSize);
    uint32_t x = 2463534242u;  // xorshift: incompressible enough, and the same every run
    for (auto& byte : out) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      byte = static_cast<uint8_t>(x);
    }
    return out;
  }();
  return buffer;
}

void BM_Ours(benchmark::State& State, vt::TSha256Impl Impl) {
  if (Impl == vt::TSha256Impl::ShaNi && !vt::Sha256NiAvailable()) {
    State.SkipWithError("this CPU has no SHA extensions");
    return;
  }
  const auto& data = Buffer();
  for (auto _ : State) {
    vt::TSha256 sha(Impl);
    sha.Update(data.data(), data.size());
    benchmark::DoNotOptimize(sha.Final());
  }
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * data.size());
}

void BM_OpenSsl(benchmark::State& State) {
  const auto& data = Buffer();
  // Fetched once: an implicit fetch per digest would be charged to OpenSSL, not to hashing.
  std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md(EVP_MD_fetch(nullptr, "SHA256", nullptr),
                                                     &EVP_MD_free);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  unsigned char digest[EVP_MAX_MD_SIZE];
  for (auto _ : State) {
    EVP_DigestInit_ex(ctx.get(), md.get(), nullptr);
    EVP_DigestUpdate(ctx.get(), data.data(), data.size());
    EVP_DigestFinal_ex(ctx.get(), digest, nullptr);
    benchmark::DoNotOptimize(digest);
  }
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * data.size());
}

BENCHMARK_CAPTURE(BM_Ours, Portable, vt::TSha256Impl::Portable)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Ours, ShaNi, vt::TSha256Impl::ShaNi)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSsl)->Unit(benchmark::kMicrosecond);

// The console output, plus each benchmark's best rate over its repetitions for the summary.
class TRateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& Reports) override {
    for (const Run& run : Reports) {
      const auto rate = run.counters.find("bytes_per_second");
      if (run.error_occurred || !run.aggregate_name.empty() || rate == run.counters.end()) {
        continue;
      }
      double& best = FRates[run.run_name.str()];
      best = std::max(best, rate->second.value);
    }
    ConsoleReporter::ReportRuns(Reports);
  }
  double Rate(const std::string& Name) const {
    const auto it = FRates.find(Name);
    return it == FRates.end() ? 0 : it->second;
  }

 private:
  std::map<std::string, double> FRates;
};

void PrintSummary(const TRateReporter& Reporter) {
  const double portable = Reporter.Rate("BM_Ours/Portable");
  const double shaNi = Reporter.Rate("BM_Ours/ShaNi");
  const double openSsl = Reporter.Rate("BM_OpenSsl");
  // OPENSSL_ia32cap masks OpenSSL's CPU features, so say which OpenSSL the ratios are against.
  const char* cap = std::getenv("OPENSSL_ia32cap");
  const std::string openSslName = cap ? std::string("OpenSSL (ia32cap ") + cap + ")" : "OpenSSL";
  std::printf("\nSHA-256 over 1 MiB buffers, best CPU-time rate, MB/s (10^6 bytes/s)\n");
  std::printf("  %-46s %8.1f\n", "ours, portable", portable / KMega);
  std::printf("  %-46s %8.1f\n", "ours, SHA-NI", shaNi / KMega);
  std::printf("  %-46s %8.1f\n", (openSslName + " EVP").c_str(), openSsl / KMega);
  if (openSsl > 0) {
    std::printf("  %-46s %8.3f\n", ("ours SHA-NI / " + openSslName).c_str(), shaNi / openSsl);
    std::printf("  %-46s %8.3f\n", ("ours portable / " + openSslName).c_str(), portable / openSsl);
  }
}

// Hashes the file at Path once with Impl and prints the digest as sha256sum does; the script
// times it beside the other tools.
bool HashFile(const char* Path, vt::TSha256Impl Impl) {
  std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(Path, "rb"), &std::fclose);
  if (!file) {
    std::fprintf(stderr, "cannot open %s\n", Path);
    return false;
  }
  std::vector<uint8_t> chunk(KFileChunk);
  vt::TSha256 sha(Impl);
  for (size_t got; (got = std::fread(chunk.data(), 1, chunk.size(), file.get())) > 0;) {
    sha.Update(chunk.data(), got);
  }
  if (std::ferror(file.get())) {
    std::fprintf(stderr, "cannot read %s\n", Path);
    return false;
  }
  for (uint8_t byte : sha.Final())
    std::printf("%02x", byte);
  std::printf("  %s\n", Path);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // vt_bench --file=PATH [--portable]: one digest of a file, with SHA-NI unless --portable.
  const std::string fileFlag = "--file=";
  if (argc >= 2 && std::string(argv[1]).rfind(fileFlag, 0) == 0) {
    const bool portable = argc == 3 && std::string(argv[2]) == "--portable";
    if (!portable && !vt::Sha256NiAvailable()) {
      std::fprintf(stderr, "this CPU has no SHA extensions\n");
      return 1;
    }
    const auto impl = portable ? vt::TSha256Impl::Portable : vt::TSha256Impl::ShaNi;
    return HashFile(argv[1] + fileFlag.size(), impl) ? 0 : 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  TRateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  PrintSummary(reporter);
  return 0;
}
