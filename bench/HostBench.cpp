// The host's own cost per message, token aside: framing, parsing, dispatch and the formatted,
// framed reply, run in memory through the loop's byte-stream seam.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "host/Pkcs11NativeMessagingHost.h"

namespace {

std::string Frame(const std::string& json) {
    std::uint32_t length = static_cast<std::uint32_t>(json.size());
    return std::string(reinterpret_cast<const char*>(&length), sizeof length) + json;
}

// A typing session: one character request and one backspace per pair, as a page sends them.
void BM_PinKeystrokeConversation(benchmark::State& state) {
    const int pairs = static_cast<int>(state.range(0));
    std::string input;
    for (int i = 0; i < pairs; ++i)
        input += Frame(R"({"command":6,"pinChar":"7"})") + Frame(R"({"command":7})");
    std::size_t replyBytes = 0;
    for (auto _ : state) {
        p11bridge::MemoryByteSource source(input);
        p11bridge::MemoryByteSink sink;
        p11bridge::Pkcs11NativeMessagingHost host(source, sink, nullptr);
        host.Execute();
        replyBytes = sink.Text().size();
        benchmark::DoNotOptimize(replyBytes);
    }
    state.SetItemsProcessed(state.iterations() * pairs * 2);
    state.counters["reply_bytes_per_message"] = static_cast<double>(replyBytes) / (pairs * 2);
}
BENCHMARK(BM_PinKeystrokeConversation)->Arg(1)->Arg(64);

// Requests the host drops or refuses still cost a read and a parse attempt.
void BM_RefusedAndUnparsableRequests(benchmark::State& state) {
    std::string input;
    const std::uint32_t tooLong = 4096;
    for (int i = 0; i < 32; ++i) {
        input += std::string(reinterpret_cast<const char*>(&tooLong), 4) + std::string(4096, 'x');
        input += Frame(R"({"command":6,"pinChar":"1")");  // cut short: no closing brace
    }
    for (auto _ : state) {
        p11bridge::MemoryByteSource source(input);
        p11bridge::MemoryByteSink sink;
        p11bridge::Pkcs11NativeMessagingHost host(source, sink, nullptr);
        host.Execute();
        benchmark::DoNotOptimize(sink.Text().size());
    }
    state.SetItemsProcessed(state.iterations() * 64);
}
BENCHMARK(BM_RefusedAndUnparsableRequests);

}  // namespace

BENCHMARK_MAIN();
