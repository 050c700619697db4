#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/CallLog.h"
#include "support/CertFactory.h"
#include "support/Pkcs11Library.h"
#include "support/TempDir.h"
#include "support/TestTokenScenario.h"

namespace p11bridge::test {

constexpr CK_SLOT_ID kSlot = 5;

// Drives the test token through its function list, as the host does.
class TestTokenFixture : public ::testing::Test {
protected:
    // Keys are slow to make, so a few certificates serve the whole suite.
    struct Shared {
        TempDir dir;
        CertFactory factory{dir.Path()};
        IssuedCert signer = factory.Issue("signer");
        IssuedCert other = factory.Issue("other");
    };
    static void SetUpTestSuite() { shared_ = new Shared; }
    static void TearDownTestSuite() {
        delete shared_;
        shared_ = nullptr;
    }
    void TearDown() override { f->C_Finalize(nullptr); }

    static const Shared& Certs() { return *shared_; }

    // The usual token: slot 5 with the signer's certificate and key under id 01a2, PIN 1234.
    TestTokenScenario& Standard();
    CK_RV Initialize();
    CK_SESSION_HANDLE OpenSession(CK_SLOT_ID slot = kSlot);
    CK_RV Login(CK_SESSION_HANDLE session, std::string pin);
    std::vector<CK_OBJECT_HANDLE> Find(CK_SESSION_HANDLE session, std::vector<CK_ATTRIBUTE> templ,
                                       CK_ULONG step = 1);
    CK_OBJECT_HANDLE FindKey(CK_SESSION_HANDLE session, Bytes id);

    static const Bytes kId;

    TempDir dir;
    std::string logPath = dir.File("calls.log");
    TestTokenScenario scenario{dir.File("scenario.txt")};
    Pkcs11Library library{TestTokenModulePath()};
    CK_FUNCTION_LIST* f = library.Functions();

private:
    static Shared* shared_;
};

}  // namespace p11bridge::test
