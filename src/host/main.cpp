#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "common/FileDescriptor.h"
#include "host/Pkcs11NativeMessagingHost.h"
#include "pkcs11/DigitalSignatureUtilPkcs11.h"

namespace {

// The browser reads framed replies on the descriptor it gave us as stdout; anything else there
// breaks the framing, and stderr is noise at best. The PKCS#11 module (and every library it pulls
// in) may print on either, so before it is loaded the replies move to a private duplicate of
// stdout that no child inherits, and descriptors 1 and 2 both lead to /dev/null.
int TakeReplyChannel() {
    int replies = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devNull >= 0) {
        // Without a private channel stdout stays the channel: a talking module could still
        // corrupt it, but a host that cannot answer at all helps nobody.
        if (replies >= 0) ::dup2(devNull, STDOUT_FILENO);
        ::dup2(devNull, STDERR_FILENO);
        // When the browser left 1 or 2 closed, /dev/null took its number: keep it open there.
        if (devNull > STDERR_FILENO) ::close(devNull);
    }
    return replies >= 0 ? replies : STDOUT_FILENO;
}

// The requests carry the PIN; a module that reads its stdin would take them. They move to a
// private duplicate of stdin, and descriptor 0 leads to /dev/null.
int TakeRequestChannel() {
    int requests = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (requests < 0) return STDIN_FILENO;
    int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devNull >= 0) {
        ::dup2(devNull, STDIN_FILENO);
        if (devNull != STDIN_FILENO) ::close(devNull);
    }
    return requests;
}

}  // namespace

int main(int, char**) {
    // The process holds a PIN: no core file may carry it away, and no other process of the same
    // user may read its memory or attach to it without the privilege to trace anything.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    // A browser that closes our stdout must not kill us: the failed write goes unnoticed and
    // the conversation ends when the input does.
    ::signal(SIGPIPE, SIG_IGN);
    const p11bridge::FileDescriptor replies(TakeReplyChannel());
    const p11bridge::FileDescriptor requests(TakeRequestChannel());

    p11bridge::FdByteSource input(requests.get());
    p11bridge::FdByteSink output(replies.get());
    {
        p11bridge::Pkcs11NativeMessagingHost host(input, output,
                                                  &p11bridge::DigitalSignatureUtilPkcs11::Create);
        host.Execute();
    }
    return 0;
}
