// The native-messaging host: reads framed requests, dispatches them by command code and answers
// each with exactly one framed reply (or none, where the protocol says so).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/SecureMemory.h"
#include "host/ByteStream.h"
#include "json/json.h"
#include "signature/DigitalSignatureUtil.h"

namespace p11bridge {

// Builds the signature utility from the texts of the last Initialize (signature, domains,
// current domain). The program passes the PKCS#11 back end; tests may pass another.
using UtilFactory = std::function<std::unique_ptr<DigitalSignatureUtil>(
    const std::string& signature, const std::string& domains, const std::string& currentDomain)>;

class Pkcs11NativeMessagingHost {
public:
    // The receive buffer also holds a terminating NUL, which caps a request at 999 bytes.
    static constexpr std::size_t kReceiveBufferSize = 1000;
    static constexpr std::size_t kReplyReserve = 2048;
    static constexpr std::size_t kPinReserve = 64;

    Pkcs11NativeMessagingHost(ByteSource& input, ByteSink& output, UtilFactory factory);
    ~Pkcs11NativeMessagingHost();

    Pkcs11NativeMessagingHost(const Pkcs11NativeMessagingHost&) = delete;
    Pkcs11NativeMessagingHost& operator=(const Pkcs11NativeMessagingHost&) = delete;

    void Execute();

    // Framing.
    std::unique_ptr<JSONNode> ReceiveNativeMessage(std::string& errorMessage);
    void SendNativeMessage(const JSONNode& message);
    void SendNativeErrorMessage(int command, const std::string& message);
    static int GetCommandCode(const JSONNode& message);
    // True when "command" is named more than once at the top level, whatever the values.
    static bool HasDuplicateCommand(const JSONNode& message);

    // Replies.
    void SendResponse(int command, DigitalSignatureUtil* util, const JSONNode& result);
    // `extra`, when given, follows the message as one more member.
    void SendNativeAknowlegeMessage(int command, const std::string& message,
                                    const JSONNode* extra = nullptr);

    // Handlers, by command code.
    void Initialize(JSONNode* request);                       // 0
    void QuitHost();                                          // 1
    void GetDigitalSignatureCertificates(JSONNode* request);  // 2
    void SetPin(JSONNode* request);                           // 3
    void GetCertificate(JSONNode* request);                   // 4
    void SignPkcs1(JSONNode* request);                        // 5
    void ProcessPinChar(JSONNode* request);                   // 6
    void DeletePinChar(JSONNode* request);                    // 7

    // The utility and the PIN state around it.
    DigitalSignatureUtil* GetDigitalSignatureUtil();
    void SetPinModuleName(DigitalSignatureUtil& util);
    void LoadPin(DigitalSignatureUtil& util);

    bool Quit() const { return m_quit; }

private:
    using Handler = void (Pkcs11NativeMessagingHost::*)(JSONNode*);
    static Handler HandlerFor(int command);
    void QuitCommand(JSONNode*) { QuitHost(); }

    // Reads a member the handler needs and returns it; when the request lacks it or names it
    // twice, answers with the error reply "Missing member: <name>" or "Duplicate member: <name>"
    // and returns null so the handler changes nothing.
    const JSONNode* ReadMember(JSONNode* request, const char* name, int command,
                               json_string& value);
    // The same for "pin" and "pinChar", which also refuses a value that is not text with the
    // error reply "Invalid member: <name>".
    bool ReadPinMember(JSONNode* request, const char* name, int command, json_string& value);
    // Shared shape of the three token commands: gate on Initialize, hand over the PIN, run the
    // operation, refresh the PIN state, answer.
    void RunTokenCommand(int command, const char* resultName,
                         const std::function<std::string(DigitalSignatureUtil&)>& operation);

    bool ReadFully(void* buffer, std::size_t n);
    bool DiscardPending();

    ByteSource& m_input;
    ByteSink& m_output;
    UtilFactory m_factory;
    std::uint64_t m_pendingDiscard = 0;

    bool m_quit = false;
    bool m_initialized = false;
    std::string m_pinModuleName;
    PinString m_pin;
    int32_t m_lastError = 0;
    int64_t m_lastLowLevelError = 0;
    std::string m_errorMessage;
    bool m_missingPin = false;
    bool m_invalidPin = false;
    std::unique_ptr<DigitalSignatureUtil> m_util;
    std::string m_signature;
    std::string m_domains;
    std::string m_currentDomain;
    std::string m_caSubjectNames;
};

}  // namespace p11bridge
