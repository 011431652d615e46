// The proxy setting ("[Update] Proxy" of system.cfg): parsed by ProxyChoice, and
// shown without its credentials when it is refused.
#include "fuzzinput.h"
#include "net/proxychoice.h"
#include "net/userpart.h"

#include <QNetworkProxyQuery>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text = QString::fromUtf8(fuzzBytes(data, size));
    addressWithoutUserPart(text);
    withoutUserParts(text);
    ProxyChoice choice(text);
    if (choice.isValid() && !text.isEmpty())
        choice.queryProxy(QNetworkProxyQuery(QUrl(QStringLiteral("http://127.0.0.1/update/update.ini"))));
    return 0;
}
