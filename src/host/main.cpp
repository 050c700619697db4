#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "host/Pkcs11NativeMessagingHost.h"
#include "pkcs11/DigitalSignatureUtilPkcs11.h"

int main(int, char**) {
    // A browser that closes our stdout must not kill us: the failed write goes unnoticed and
    // the conversation ends when the input does.
    ::signal(SIGPIPE, SIG_IGN);
    // The browser treats stderr as noise at best; libraries that like to complain there
    // (module loaders, tokens) must not leak anything about the user's card.
    int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devNull >= 0) {
        ::dup2(devNull, STDERR_FILENO);
        ::close(devNull);
    }

    p11bridge::FdByteSource input(STDIN_FILENO);
    p11bridge::FdByteSink output(STDOUT_FILENO);
    {
        p11bridge::Pkcs11NativeMessagingHost host(input, output,
                                                  &p11bridge::DigitalSignatureUtilPkcs11::Create);
        host.Execute();
    }
    return 0;
}
