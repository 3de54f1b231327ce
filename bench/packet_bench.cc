// Packet costs: building a packet of n int records, and reading each of its
// n keys back (through the packet's key index past a handful of records, so
// both grow with n); and a received packet that keeps being added to and
// read, with an honest record count and with one that overstates it.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "zelvar/kparam.h"

namespace {

void BuildIntPacket(CKParam& packet, int n) {
  for (int key = 0; key < n; ++key) packet.SetInt(static_cast<short>(key), key);
}

void BM_PacketBuild(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  for (auto _ : state) {
    CKParam packet;
    BuildIntPacket(packet, n);
    benchmark::DoNotOptimize(packet.GetBufferPtr());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * n);
}

void BM_PacketReadAllKeys(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  CKParam packet;
  BuildIntPacket(packet, n);
  for (auto _ : state) {
    long long sum = 0;
    for (int key = 0; key < n; ++key) {
      int value = 0;
      if (packet.GetInt(static_cast<short>(key), value) != 0) {
        state.SkipWithError("a key written was not found");
        return;
      }
      sum += value;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * n);
}

// A host's round trip of a reply: load a received image and read every key.
void BM_PacketLoadAndReadAllKeys(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  CKParam sender;
  BuildIntPacket(sender, n);
  for (auto _ : state) {
    CKParam receiver;
    receiver.SetBufferPtr(sender.GetBufferPtr(), sender.GetLength());
    long long sum = 0;
    for (int key = 0; key < n; ++key) {
      int value = 0;
      receiver.GetInt(static_cast<short>(key), value);
      sum += value;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * n);
}

// Loads an image of 20 records whose header claims `state.range(0)`
// records (0: the real count), then appends a record and reads the first
// key ten times; each append leaves the packet unlike any index of it, so
// each read builds one again. The overstated count must not make that
// dearer: it says nothing of how many records the bytes hold.
void BM_PacketReceivedAppendAndRead(benchmark::State& state) {
  CKParam sender;
  BuildIntPacket(sender, 20);
  std::vector<char> image(sender.GetBufferPtr(), sender.GetBufferPtr() + sender.GetLength());
  if (state.range(0) != 0) {
    const int claimed = static_cast<int>(state.range(0));
    std::memcpy(image.data() + 4, &claimed, 4);
  }
  for (auto _ : state) {
    CKParam receiver;
    if (receiver.SetBufferPtr(image.data(), static_cast<int>(image.size())) != 0) {
      state.SkipWithError("the image was refused");
      return;
    }
    long long sum = 0;
    for (int i = 0; i < 10; ++i) {
      receiver.SetInt(static_cast<short>(100 + i), i);
      int value = 0;
      receiver.GetInt(0, value);
      sum += value;
    }
    benchmark::DoNotOptimize(sum);
  }
}

BENCHMARK(BM_PacketBuild)->Arg(10)->Arg(100)->Arg(1000)->Arg(5000);
BENCHMARK(BM_PacketReadAllKeys)->Arg(10)->Arg(100)->Arg(1000)->Arg(5000);
BENCHMARK(BM_PacketLoadAndReadAllKeys)->Arg(10)->Arg(1000);
BENCHMARK(BM_PacketReceivedAppendAndRead)->Arg(0)->Arg(1000000)->Arg(0x7FFFFFFF);

}  // namespace
