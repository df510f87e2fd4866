#include "support/TestSupport.h"

#include <QFile>
#include <QList>
#include <QRandomGenerator>
#include <QTcpServer>

#include <algorithm>

namespace velora::test {

namespace {

bool canListen(quint16 port)
{
    QTcpServer probe;
    return probe.listen(QHostAddress::Any, port);
}

quint16 ephemeralPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::Any, 0) ? probe.serverPort() : 0;
}

} // namespace

quint16 freeLoopbackPort(PortChoice choice)
{
    if (choice == PortChoice::Ephemeral)
        return ephemeralPort();
    int low = 32768; // the kernel's defaults
    int high = 60999;
    QFile range(QStringLiteral("/proc/sys/net/ipv4/ip_local_port_range"));
    if (range.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> fields = range.readAll().simplified().split(' ');
        if (fields.size() == 2 && fields[0].toInt() > 0 && fields[1].toInt() >= fields[0].toInt()) {
            low = fields[0].toInt();
            high = fields[1].toInt();
        }
    }
    int first = 20000;
    int last = low - 1;
    if (last < first) {
        first = std::max(high + 1, 1024);
        last = 65535;
    }
    for (int attempt = 0; first <= last && attempt < 100; ++attempt) {
        const auto port = quint16(QRandomGenerator::global()->bounded(first, last + 1));
        if (canListen(port))
            return port;
    }
    return ephemeralPort();
}

} // namespace velora::test
