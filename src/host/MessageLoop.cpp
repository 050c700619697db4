#include <array>
#include <cstdint>
#include <cstring>
#include <map>

#include "host/Pkcs11NativeMessagingHost.h"

namespace p11bridge {
namespace {

// Wipes the receive buffer whatever happens to the request: it may carry the PIN.
struct WipeOnExit {
    void* p;
    std::size_t n;
    ~WipeOnExit() { SecureWipe(p, n); }
};

}  // namespace

Pkcs11NativeMessagingHost::Pkcs11NativeMessagingHost(ByteSource& input, ByteSink& output,
                                                     UtilFactory factory)
    : m_input(input), m_output(output), m_factory(std::move(factory)) {
    // A string outgrowing its inline buffer leaves the bytes it held there behind; starting on
    // the heap means every move of the PIN goes through the wiping allocator.
    m_pin.reserve(kPinReserve);
}

Pkcs11NativeMessagingHost::~Pkcs11NativeMessagingHost() = default;

Pkcs11NativeMessagingHost::Handler Pkcs11NativeMessagingHost::HandlerFor(int command) {
    using Host = Pkcs11NativeMessagingHost;
    static const std::map<int, Handler> kHandlers = {
        {0, &Host::Initialize},
        {1, &Host::QuitCommand},
        {2, &Host::GetDigitalSignatureCertificates},
        {3, &Host::SetPin},
        {4, &Host::GetCertificate},
        {5, &Host::SignPkcs1},
        {6, &Host::ProcessPinChar},
        {7, &Host::DeletePinChar},
    };
    auto found = kHandlers.find(command);
    return found == kHandlers.end() ? nullptr : found->second;
}

void Pkcs11NativeMessagingHost::Execute() {
    while (!m_quit) {
        std::string errorMessage;
        try {
            std::unique_ptr<JSONNode> request = ReceiveNativeMessage(errorMessage);
            if (m_quit) return;
            if (!request) {
                SendNativeErrorMessage(-1, errorMessage);
                continue;
            }
            // The extension decided what to let through by the command it read; a second one
            // could make the host run another.
            if (HasDuplicateCommand(*request)) {
                SendNativeErrorMessage(-1, "Duplicate member: command");
                continue;
            }
            if (Handler handler = HandlerFor(GetCommandCode(*request)))
                (this->*handler)(request.get());
        } catch (...) {
            // A request that does not parse, or a handler that fails, is dropped without a
            // reply; the conversation goes on with the next request.
        }
    }
}

bool Pkcs11NativeMessagingHost::ReadFully(void* buffer, std::size_t n) {
    char* p = static_cast<char*>(buffer);
    while (n > 0) {
        std::size_t got = m_input.Read(p, n);
        if (got == 0) return false;
        p += got;
        n -= got;
    }
    return true;
}

bool Pkcs11NativeMessagingHost::DiscardPending() {
    std::array<char, 4096> sink;
    while (m_pendingDiscard > 0) {
        std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(m_pendingDiscard, sink.size()));
        std::size_t got = m_input.Read(sink.data(), want);
        if (got == 0) return false;
        m_pendingDiscard -= got;
    }
    return true;
}

std::unique_ptr<JSONNode> Pkcs11NativeMessagingHost::ReceiveNativeMessage(
    std::string& errorMessage) {
    // The body of a refused message is skipped only now, after its error reply went out, so the
    // next prefix is read from the right place.
    if (!DiscardPending()) {
        m_quit = true;
        return nullptr;
    }
    std::uint32_t length = 0;
    // Input that ends inside the prefix is not a request: nothing of it is acted on.
    if (!ReadFully(&length, sizeof length) || length == 0) {
        m_quit = true;
        return nullptr;
    }
    if (length >= kReceiveBufferSize) {
        errorMessage = "Message too long";
        m_pendingDiscard = length;
        return nullptr;
    }
    std::array<char, kReceiveBufferSize> buffer;
    WipeOnExit wipe{buffer.data(), buffer.size()};
    if (!ReadFully(buffer.data(), length)) {
        m_quit = true;
        return nullptr;
    }
    buffer[length] = '\0';
    // A NUL inside the body ends the text there.
    json_string text(buffer.data(), ::strnlen(buffer.data(), length));
    return std::make_unique<JSONNode>(json::parse(text));
}

void Pkcs11NativeMessagingHost::SendNativeMessage(const JSONNode& message) {
    std::string text = message.write_formatted(kReplyReserve);
    std::uint32_t length = static_cast<std::uint32_t>(text.size());
    // Prefix and text leave in one write: a browser woken by the prefix alone would only wait
    // again for the text, and on an idle machine each such wake-up costs more than the reply.
    text.insert(0, reinterpret_cast<const char*>(&length), sizeof length);
    m_output.Write(text.data(), text.size());
    m_output.Flush();
}

void Pkcs11NativeMessagingHost::SendNativeErrorMessage(int command, const std::string& message) {
    JSONNode reply(JSON_NODE);
    reply.push_back(JSONNode("command", command));
    reply.push_back(JSONNode("error", true));
    reply.push_back(JSONNode("message", message));
    SendNativeMessage(reply);
}

int Pkcs11NativeMessagingHost::GetCommandCode(const JSONNode& message) {
    JSONNode document = message;
    for (JSONNode::const_iterator it = document.begin(); it != document.end(); ++it) {
        if (it->type() == JSON_ARRAY || it->type() == JSON_NODE) continue;
        if (it->name() == "command") return it->as_int();
    }
    return -1;
}

bool Pkcs11NativeMessagingHost::HasDuplicateCommand(const JSONNode& message) {
    int seen = 0;
    for (JSONNode::const_iterator it = message.begin(); it != message.end(); ++it)
        if (it->name() == "command" && ++seen > 1) return true;
    return false;
}

void Pkcs11NativeMessagingHost::QuitHost() {
    m_quit = true;
}

}  // namespace p11bridge
