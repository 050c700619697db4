// The host's own decoder of DER certificates into NSS certificate records. NSS does not export its
// function of the same name, so this one lives in a namespace of its own.
#pragma once

#include <cert.h>

namespace p11bridge::certificate_decoding {

// A new record for the DER certificate, or nullptr. With copyDER the record keeps its own copy of
// the bytes; otherwise they must outlive the record. Key usage follows one rule: the first byte
// of the extension's bit string, or every usage (0xFF) when the extension is absent. Release the
// record with CERT_DestroyCertificate, which frees it whole.
CERTCertificate* CERT_DecodeDERCertificate(SECItem* derSignedCert, PRBool copyDER,
                                           const char* nickname);

}  // namespace p11bridge::certificate_decoding
