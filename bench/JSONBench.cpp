// What the host does with JSON for every message: parse a request and read its members, then
// build and write a response.
#include <benchmark/benchmark.h>

#include <string>

#include "json/json.h"

namespace {

// A signing request as a page sends it: a Base64 certificate identifier and a SHA-256 hash.
const json_string kSignRequest(
    R"({"command":5,"certId":"Q2VydGlmaWNhZG8gUUFSVE8gZGUgcHJ1ZWJhIC8gaWQ=",)"
    R"("digest":"n4bQgYhMfWWaL+qgxVrQFaO/TxsrC4Is0V1sFbDwCgg="})");

// A signature as the token returns it: 256 bytes in Base64, broken every 64 characters.
std::string signatureText() {
    const std::string line = "kV2mQ/3bX1+9sLpEwz0Yq7dNfTgHjUiOa4cR8vZyWx5eK6nPbM1lJ2oI/FtGhA0==";
    std::string text;
    for (int i = 0; i < 5; ++i) text += line.substr(0, 64) + "\r\n";
    return text + "QUJD";
}

void BM_ParseRequestAndReadMembers(benchmark::State& state) {
    for (auto _ : state) {
        JSONNode request = json::parse(kSignRequest);
        int command = -1;
        for (JSONNode::const_iterator it = request.begin(); it != request.end(); ++it) {
            if (it->type() != JSON_ARRAY && it->type() != JSON_NODE && it->name() == "command") {
                command = it->as_int();
                break;
            }
        }
        const json_string certId = request.at("certId").as_string();
        const json_string digest = request.at("digest").as_string();
        benchmark::DoNotOptimize(command);
        benchmark::DoNotOptimize(certId.data());
        benchmark::DoNotOptimize(digest.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kSignRequest.size()));
}
BENCHMARK(BM_ParseRequestAndReadMembers);

JSONNode signResponse(const std::string& signature) {
    JSONNode reply(JSON_NODE);
    reply.push_back(JSONNode("command", 5));
    reply.push_back(JSONNode("error", false));
    reply.push_back(JSONNode("errorMessage", ""));
    reply.push_back(JSONNode("lastError", 0));
    reply.push_back(JSONNode("lastLowLevelError", 0L));
    reply.push_back(JSONNode("pinModuleName", "Certificado QARTO"));
    reply.push_back(JSONNode("missingPin", false));
    reply.push_back(JSONNode("invalidPin", false));
    reply.push_back(JSONNode("pinLength", 4UL));
    reply.push_back(JSONNode("pinRetryCount", 0));
    reply.push_back(JSONNode("pkcs1", signature));
    return reply;
}

void BM_WriteResponse(benchmark::State& state) {
    const JSONNode reply = signResponse(signatureText());
    std::size_t bytes = 0;
    for (auto _ : state) {
        const std::string text = reply.write_formatted(2048);
        bytes += text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_WriteResponse);

void BM_BuildAndWriteResponse(benchmark::State& state) {
    const std::string signature = signatureText();
    for (auto _ : state) {
        const std::string text = signResponse(signature).write_formatted(2048);
        benchmark::DoNotOptimize(text.data());
    }
}
BENCHMARK(BM_BuildAndWriteResponse);

}  // namespace

BENCHMARK_MAIN();
