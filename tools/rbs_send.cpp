// rbs-send: plays a booking system for one packet. It builds a ride packet of
// 96 items, sends it to the intake server and prints what comes back, decoded,
// so that an operator can check a freshly installed link by hand.
//
//   rbs-send [--host H] [--port P] [--wait MS] TYPE RIDE [INDEX=VALUE ...]
//
// TYPE is NR, WR, VR or RS; RIDE the booking system's ride number. Items not
// given get a sensible value (sender RBS, ride and boarding times of now).

#include "wire/WireCodec.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QTcpSocket>
#include <QTextStream>

namespace {

using namespace velora;

constexpr int kItems = 96;

QStringList defaultItems(const QString &type, const QString &ride)
{
    QStringList items(kItems);
    const QString now = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmm"));
    items[0] = type;
    items[1] = QStringLiteral("RBS");
    items[3] = ride;
    // Every date-time item must hold a valid date-time for the packet to parse.
    for (int index : {4, 5, 23, 24, 49})
        items[index] = now;
    items[10] = QStringLiteral("Testreiziger");
    items[11] = QStringLiteral("Stationsplein");
    items[12] = QStringLiteral("3511ED");
    items[13] = QStringLiteral("Utrecht");
    items[14] = QStringLiteral("1");
    items[17] = QStringLiteral("Slotlaan");
    items[18] = QStringLiteral("3701GA");
    items[19] = QStringLiteral("Zeist");
    items[20] = QStringLiteral("1");
    return items;
}

// One reply as the service sends it: "<RBS>", hex text, "<EINDE>" (already
// split off by the caller).
QString describeReply(const QString &reply)
{
    if (!reply.startsWith(QLatin1String("<RBS>")))
        return QStringLiteral("(not an envelope) ") + reply;
    return DecodeHexText(reply.mid(5));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Sends one ride packet to the intake server and prints the reply."));
    parser.addHelpOption();
    const QCommandLineOption hostOption(QStringLiteral("host"), QStringLiteral("Intake host (127.0.0.1)."),
                                        QStringLiteral("H"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Intake port (2100)."),
                                        QStringLiteral("P"), QStringLiteral("2100"));
    const QCommandLineOption waitOption(QStringLiteral("wait"), QStringLiteral("How long to wait for replies, in ms."),
                                        QStringLiteral("MS"), QStringLiteral("3000"));
    parser.addOptions({hostOption, portOption, waitOption});
    parser.addPositionalArgument(QStringLiteral("TYPE"), QStringLiteral("NR, WR, VR or RS"));
    parser.addPositionalArgument(QStringLiteral("RIDE"), QStringLiteral("ride number of the booking system"));
    parser.addPositionalArgument(QStringLiteral("INDEX=VALUE"), QStringLiteral("items to set (0-based index)"),
                                 QStringLiteral("[INDEX=VALUE...]"));
    parser.process(app);

    QTextStream out(stdout);
    QTextStream err(stderr);
    const QStringList arguments = parser.positionalArguments();
    if (arguments.size() < 2) {
        err << parser.helpText();
        return 2;
    }
    QStringList items = defaultItems(arguments[0], arguments[1]);
    for (const QString &assignment : arguments.mid(2)) {
        const qsizetype equals = assignment.indexOf(u'=');
        bool ok = false;
        const int index = assignment.left(equals).toInt(&ok);
        if (equals < 0 || !ok || index < 0 || index >= kItems) {
            err << "not an item assignment (INDEX=VALUE, index 0 to 95): " << assignment << "\n";
            return 2;
        }
        items[index] = assignment.mid(equals + 1);
    }

    // The two trailing characters are what the receiver drops unexamined.
    const QString packet = QStringLiteral("<RBS>") + EncodeHexText(WriteCommaList(items)) + QStringLiteral("\r\n");
    QTcpSocket socket;
    socket.connectToHost(parser.value(hostOption), parser.value(portOption).toUShort());
    if (!socket.waitForConnected(5000)) {
        err << "cannot connect: " << socket.errorString() << "\n";
        return 1;
    }
    socket.write(envelopeBytes(packet));
    out << "sent: " << WriteCommaList(items) << "\n";

    // A cancellation may be answered twice ("AC", then "NC" when it fails).
    QByteArray received;
    const int waitMs = parser.value(waitOption).toInt();
    while (socket.waitForReadyRead(received.isEmpty() ? waitMs : 300))
        received += socket.readAll();
    if (received.isEmpty()) {
        out << "no reply\n";
        return 1;
    }
    for (const QString &reply : receivedText(received).split(QStringLiteral("<EINDE>"), Qt::SkipEmptyParts))
        out << "reply: " << describeReply(reply) << "\n";
    return 0;
}
