// Packet costs: building a packet of n int records, and reading each of its
// n keys back. Lookups walk the records from the start, so reading all keys
// grows with n squared while building grows with n; the two cases are kept
// apart so that their ratio shows.
#include <benchmark/benchmark.h>

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

BENCHMARK(BM_PacketBuild)->Arg(10)->Arg(100)->Arg(1000)->Arg(5000);
BENCHMARK(BM_PacketReadAllKeys)->Arg(10)->Arg(100)->Arg(1000)->Arg(5000);
BENCHMARK(BM_PacketLoadAndReadAllKeys)->Arg(10)->Arg(1000);

}  // namespace
