// A stand-in for libFuzzer where Debian's clang lacks it: runs the fuzz target on every seed
// given (files or directories), then on seeded random mutations of them for -seconds=N.
// A failing input is written to <artifact_prefix>crash before the process dies; the seed is
// printed first, so -seed=N repeats a run.
#include <dirent.h>
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);

namespace {

std::string artifact = "crash";
std::vector<uint8_t> current;

// Async-signal-safe: only open and write.
void saveCurrent() {
  const int fd = ::open(artifact.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  const ssize_t written = ::write(fd, current.data(), current.size());
  static_cast<void>(written);  // nothing more to do about a failure while dying
  ::close(fd);
}

void onSignal(int signal) {
  saveCurrent();
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

void run(const std::vector<uint8_t>& input) {
  current = input;
  // A heap copy of the exact size, so reading past the input is an ASan report.
  std::vector<uint8_t> copy(input);
  LLVMFuzzerTestOneInput(copy.empty() ? nullptr : copy.data(), copy.size());
}

void addSeeds(const std::string& path, std::vector<std::vector<uint8_t>>* seeds) {
  if (DIR* dir = ::opendir(path.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') addSeeds(path + "/" + entry->d_name, seeds);
    }
    ::closedir(dir);
    return;
  }
  std::ifstream in(path, std::ios::binary);
  seeds->emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> mutate(std::vector<uint8_t> input, std::mt19937_64& random) {
  // Bytes that sit on the edges of the UTF-8 ranges are the likeliest to find a fault.
  static const uint8_t kEdges[] = {0x00, 0x2F, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1,
                                   0xC2, 0xDF, 0xE0, 0xE1, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xFF};
  const int steps = 1 + static_cast<int>(random() % 8);
  for (int i = 0; i < steps; ++i) {
    const std::size_t at = input.empty() ? 0 : random() % (input.size() + 1);
    const uint8_t byte = random() % 2 ? kEdges[random() % sizeof kEdges] : static_cast<uint8_t>(random());
    switch (random() % 3) {
      case 0:
        input.insert(input.begin() + static_cast<long>(at), byte);
        break;
      case 1:
        if (at < input.size()) input.erase(input.begin() + static_cast<long>(at));
        break;
      default:
        if (at < input.size()) input[at] = byte;
        break;
    }
  }
  if (input.size() > 4096) input.resize(4096);
  return input;
}

}  // namespace

int main(int argc, char** argv) {
  long seconds = 0;
  unsigned long long seed = static_cast<unsigned long long>(std::chrono::system_clock::now().time_since_epoch().count());
  std::vector<std::vector<uint8_t>> seeds(1);  // the empty input
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("-seconds=", 0) == 0) {
      seconds = std::atol(arg.c_str() + 9);
    } else if (arg.rfind("-seed=", 0) == 0) {
      seed = std::strtoull(arg.c_str() + 6, nullptr, 10);
    } else if (arg.rfind("-artifact_prefix=", 0) == 0) {
      artifact = arg.substr(17) + "crash";
    } else {
      addSeeds(arg, &seeds);
    }
  }
  __sanitizer_set_death_callback(saveCurrent);
  for (int s : {SIGILL, SIGABRT, SIGSEGV, SIGBUS, SIGFPE}) ::signal(s, onSignal);
  std::printf("random_driver: seed %llu (-seed=%llu repeats this run)\n", seed, seed);
  std::fflush(stdout);
  LLVMFuzzerInitialize(&argc, &argv);

  for (const auto& input : seeds) run(input);
  std::mt19937_64 random(seed);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  unsigned long long runs = seeds.size();
  while (std::chrono::steady_clock::now() < end) {
    for (int i = 0; i < 1000; ++i, ++runs) run(mutate(seeds[random() % seeds.size()], random));
  }
  std::printf("random_driver: %llu inputs, no failure\n", runs);
  return 0;
}
