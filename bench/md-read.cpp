#include <chrono>
#include <cstdio>
#include <string>
#include <vector>
#include "platform/posix/DriveTable.h"
#include "platform/posix/MdSource.h"
using namespace korvalane;
int main(int argc, char** argv) {
  std::vector<std::string> paths(argv + 1, argv + argc);
  DriveTable table = DriveTable::FromSources(paths);
  for (const DriveEntry& e : table.Entries()) {
    if (!dynamic_cast<MdSource*>(e.From.get())) continue;
    const int64_t size = e.From->Size();
    std::vector<uint8_t> buf(1 << 20);
    auto t0 = std::chrono::steady_clock::now();
    for (int64_t at = 0; at + (1 << 20) <= size; at += 1 << 20) if (!e.From->Read(at, buf, false)) { std::puts("fail"); return 1; }
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%s %.3f s %.1f MB/s\n", e.Description.c_str(), s, size / s / 1e6);
    return 0;
  }
  std::puts("no array"); return 1;
}
