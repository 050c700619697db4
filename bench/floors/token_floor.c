/* The floor under the host's token operations: for each listing, certificate fetch or
 * signature, the PKCS#11 calls the host makes, in the same order (C_Initialize to C_Finalize
 * every time), with no host around them. The module is loaded once, as the host loads it.
 *
 *   p11bridge_floor_token MODULE ID_HEX PIN COUNT OP...  OP: list | fetch | sign[:BYTES] | init
 *
 * "sign" reads the certificate with the ID first, as the host must to sign only with a listed
 * certificate's key, and takes the key's type from it: an RSA key signs a SHA-256 DigestInfo
 * with CKM_RSA_PKCS, an EC key a hash of BYTES bytes (32 unless given) with CKM_ECDSA. The key
 * is searched for by that type, so that an EC key costs what an RSA key does: the least a
 * program must do, which is not always the host's order.
 *
 * Runs the OPs COUNT times over and prints, after each operation, "OP NANOSECONDS
 * INITIALIZE_NANOSECONDS", the second figure the part of the first that C_Initialize took.
 * "init" is C_Initialize and C_Finalize alone. With COUNT "-" it runs them once for every line
 * read from stdin, so that a driver can take turns with the host. Any failed call ends the run
 * with its name and return value on stderr and exit status 1.
 */
#include <dlfcn.h>
#include <limits.h>
#include <pkcs11.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static CK_FUNCTION_LIST* p11;
static CK_BYTE id[64];
static CK_ULONG id_length;
static const char* pin;
static CK_SLOT_ID slot;
static long long initialize_ns;

static long long now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

static void check(CK_RV rv, const char* call) {
    if (rv == CKR_OK) return;
    fprintf(stderr, "p11bridge_floor_token: %s returned 0x%lx\n", call, (unsigned long)rv);
    exit(1);
}

/* C_Initialize, the first slot with a token (count, then list) and a read-only session. */
static CK_SESSION_HANDLE open_frame(void) {
    long long start = now_ns();
    check(p11->C_Initialize(NULL), "C_Initialize");
    initialize_ns = now_ns() - start;
    CK_ULONG count = 0;
    check(p11->C_GetSlotList(CK_TRUE, NULL, &count), "C_GetSlotList");
    if (count == 0) check(CKR_TOKEN_NOT_PRESENT, "C_GetSlotList");
    CK_SLOT_ID* slots = calloc(count, sizeof *slots);
    check(p11->C_GetSlotList(CK_TRUE, slots, &count), "C_GetSlotList");
    CK_SESSION_HANDLE session;
    slot = slots[0];
    check(p11->C_OpenSession(slot, CKF_SERIAL_SESSION, NULL, NULL, &session), "C_OpenSession");
    free(slots);
    return session;
}

static void close_frame(CK_SESSION_HANDLE session) {
    p11->C_CloseSession(session);
    p11->C_Finalize(NULL);
}

/* The two-call read: lengths first, then buffers of exactly those lengths. */
static void read_attributes(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                            CK_ATTRIBUTE* attributes, CK_ULONG count) {
    for (CK_ULONG i = 0; i < count; ++i) attributes[i].pValue = NULL;
    check(p11->C_GetAttributeValue(session, object, attributes, count), "C_GetAttributeValue");
    for (CK_ULONG i = 0; i < count; ++i) attributes[i].pValue = malloc(attributes[i].ulValueLen);
    check(p11->C_GetAttributeValue(session, object, attributes, count), "C_GetAttributeValue");
    for (CK_ULONG i = 0; i < count; ++i) free(attributes[i].pValue);
}

static CK_OBJECT_CLASS certificate_class = CKO_CERTIFICATE;
static CK_OBJECT_CLASS key_class = CKO_PRIVATE_KEY;
static CK_CERTIFICATE_TYPE x509 = CKC_X_509;

static void list(void) {
    CK_SESSION_HANDLE session = open_frame();
    CK_ATTRIBUTE search[] = {{CKA_CLASS, &certificate_class, sizeof certificate_class},
                             {CKA_CERTIFICATE_TYPE, &x509, sizeof x509}};
    check(p11->C_FindObjectsInit(session, search, 2), "C_FindObjectsInit");
    CK_OBJECT_HANDLE object;
    CK_ULONG found;
    for (;;) {
        check(p11->C_FindObjects(session, &object, 1, &found), "C_FindObjects");
        if (found == 0) break;
        CK_ATTRIBUTE values[] = {{CKA_ID, NULL, 0}, {CKA_VALUE, NULL, 0}};
        read_attributes(session, object, values, 2);
    }
    p11->C_FindObjectsFinal(session);
    close_frame(session);
}

/* The certificate object with the ID; its search stays open for the caller to end. */
static CK_OBJECT_HANDLE find_certificate(CK_SESSION_HANDLE session) {
    CK_ATTRIBUTE search[] = {{CKA_CLASS, &certificate_class, sizeof certificate_class},
                             {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
                             {CKA_ID, id, id_length}};
    check(p11->C_FindObjectsInit(session, search, 3), "C_FindObjectsInit");
    CK_OBJECT_HANDLE object;
    CK_ULONG found;
    check(p11->C_FindObjects(session, &object, 1, &found), "C_FindObjects");
    if (found == 0) check(CKR_OBJECT_HANDLE_INVALID, "C_FindObjects");
    return object;
}

static void fetch(void) {
    CK_SESSION_HANDLE session = open_frame();
    CK_OBJECT_HANDLE object = find_certificate(session);
    CK_ATTRIBUTE value[] = {{CKA_VALUE, NULL, 0}};
    read_attributes(session, object, value, 1);
    p11->C_FindObjectsFinal(session);
    close_frame(session);
}

/* The certificate with the ID, read as the host reads it, and the type of its key. A program
 * that parses no X.509 can still tell an EC key: its public key's algorithm is id-ecPublicKey
 * (1.2.840.10045.2.1), whose DER appears nowhere else in a certificate. */
static CK_KEY_TYPE certified_key_type(CK_SESSION_HANDLE session) {
    static const CK_BYTE ec_public_key[] = {0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01};
    CK_OBJECT_HANDLE object = find_certificate(session);
    CK_ATTRIBUTE value = {CKA_VALUE, NULL, 0};
    check(p11->C_GetAttributeValue(session, object, &value, 1), "C_GetAttributeValue");
    CK_BYTE* der = malloc(value.ulValueLen);
    value.pValue = der;
    check(p11->C_GetAttributeValue(session, object, &value, 1), "C_GetAttributeValue");
    p11->C_FindObjectsFinal(session);
    CK_KEY_TYPE type = CKK_RSA;
    for (CK_ULONG i = 0; i + sizeof ec_public_key <= value.ulValueLen; ++i)
        if (memcmp(der + i, ec_public_key, sizeof ec_public_key) == 0) type = CKK_EC;
    free(der);
    return type;
}

/* The key with the ID: first asked for as one of the certified type that does not need the PIN
 * for each use, then, if there is none, as any key, reading whether it does. */
static CK_OBJECT_HANDLE find_key(CK_SESSION_HANDLE session, CK_KEY_TYPE type, CK_BBOOL* per_use) {
    CK_BBOOL no = CK_FALSE;
    CK_ATTRIBUTE search[] = {{CKA_CLASS, &key_class, sizeof key_class},
                             {CKA_ID, id, id_length},
                             {CKA_ALWAYS_AUTHENTICATE, &no, sizeof no},
                             {CKA_KEY_TYPE, &type, sizeof type}};
    CK_OBJECT_HANDLE key;
    CK_ULONG found;
    *per_use = CK_FALSE;
    for (CK_ULONG attributes = 4; attributes >= 2; attributes -= 2) {
        check(p11->C_FindObjectsInit(session, search, attributes), "C_FindObjectsInit");
        check(p11->C_FindObjects(session, &key, 1, &found), "C_FindObjects");
        p11->C_FindObjectsFinal(session);
        if (found == 1 && attributes == 4) return key;
    }
    if (found == 0) check(CKR_OBJECT_HANDLE_INVALID, "C_FindObjects");
    CK_ATTRIBUTE always = {CKA_ALWAYS_AUTHENTICATE, per_use, sizeof *per_use};
    if (p11->C_GetAttributeValue(session, key, &always, 1) != CKR_OK) *per_use = CK_FALSE;
    return key;
}

static void sign(CK_ULONG hash_length) {
    /* A SHA-256 DigestInfo over a fixed hash, as the host builds it for a 32-byte digest; an EC
     * key signs the bytes after the DigestInfo's header, as many as asked for. */
    static CK_BYTE input[19 + 64] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                     0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    memset(input + 19, 0x5a, 64);
    CK_SESSION_HANDLE session = open_frame();
    CK_KEY_TYPE type = certified_key_type(session);
    /* The host reads which token it talks to before it presents the PIN typed for it. */
    CK_TOKEN_INFO info;
    check(p11->C_GetTokenInfo(slot, &info), "C_GetTokenInfo");
    check(p11->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR)pin, strlen(pin)), "C_Login");
    CK_BBOOL per_use;
    CK_OBJECT_HANDLE key = find_key(session, type, &per_use);
    CK_MECHANISM mechanism = {type == CKK_EC ? CKM_ECDSA : CKM_RSA_PKCS, NULL, 0};
    CK_BYTE* signed_bytes = type == CKK_EC ? input + 19 : input;
    CK_ULONG signed_length = type == CKK_EC ? hash_length : 19 + 32;
    check(p11->C_SignInit(session, &mechanism, key), "C_SignInit");
    if (per_use)
        check(p11->C_Login(session, CKU_CONTEXT_SPECIFIC, (CK_UTF8CHAR_PTR)pin, strlen(pin)),
              "C_Login(CKU_CONTEXT_SPECIFIC)");
    CK_BYTE signature[2048];
    CK_ULONG signature_length = sizeof signature;
    check(p11->C_Sign(session, signed_bytes, signed_length, signature, &signature_length),
          "C_Sign");
    p11->C_Logout(session);
    close_frame(session);
}

static void initialize(void) {
    long long start = now_ns();
    check(p11->C_Initialize(NULL), "C_Initialize");
    initialize_ns = now_ns() - start;
    p11->C_Finalize(NULL);
}

int main(int argc, char** argv) {
    if (argc < 6) {
        fprintf(stderr, "usage: %s MODULE ID_HEX PIN COUNT list|fetch|sign[:BYTES]|init...\n",
                argv[0]);
        return 2;
    }
    void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    CK_C_GetFunctionList get_function_list = NULL;
    /* POSIX's way of turning dlsym's object pointer into a function pointer. */
    if (module) *(void**)&get_function_list = dlsym(module, "C_GetFunctionList");
    if (!get_function_list) {
        fprintf(stderr, "p11bridge_floor_token: cannot load %s\n", argv[1]);
        return 1;
    }
    check(get_function_list(&p11), "C_GetFunctionList");
    for (const char* hex = argv[2]; hex[0] && hex[1] && id_length < sizeof id; hex += 2) {
        char byte[3] = {hex[0], hex[1], 0};
        id[id_length++] = (CK_BYTE)strtoul(byte, NULL, 16);
    }
    pin = argv[3];
    int stepped = strcmp(argv[4], "-") == 0;
    long count = stepped ? LONG_MAX : strtol(argv[4], NULL, 10);
    char line[64];
    for (long i = 0; i < count; ++i) {
        if (stepped && !fgets(line, sizeof line, stdin)) break;
        for (int op = 5; op < argc; ++op) {
            long long start = now_ns();
            if (strcmp(argv[op], "list") == 0) {
                list();
            } else if (strcmp(argv[op], "fetch") == 0) {
                fetch();
            } else if (strncmp(argv[op], "sign", 4) == 0 &&
                       (argv[op][4] == 0 || argv[op][4] == ':')) {
                unsigned long bytes = argv[op][4] ? strtoul(argv[op] + 5, NULL, 10) : 32;
                if (bytes == 0 || bytes > 64) {
                    fprintf(stderr, "p11bridge_floor_token: a hash is 1 to 64 bytes\n");
                    return 2;
                }
                sign(bytes);
            } else if (strcmp(argv[op], "init") == 0) {
                initialize();
            } else {
                fprintf(stderr, "p11bridge_floor_token: unknown operation %s\n", argv[op]);
                return 2;
            }
            printf("%s %lld %lld\n", argv[op], now_ns() - start, initialize_ns);
            fflush(stdout);
        }
    }
    return 0;
}
