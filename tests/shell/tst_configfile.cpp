#include "SettingsFileOrder.h"
#include "support/TestSupport.h"

#include "shell/ConfigFile.h"
#include "shell/Log.h"
#include "shell/Settings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QXmlStreamReader>

using namespace velora;

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

// A settings file holding the given value elements under Hoofdscherm.
QByteArray settingsFile(const QByteArray &elements)
{
    return "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n<Configuration>\n  <Hoofdscherm>\n" + elements +
           "\n  </Hoofdscherm>\n</Configuration>\n";
}

// Names and texts of the children of Hoofdscherm, in file order.
QList<QPair<QString, QString>> hoofdschermElements(const QByteArray &bytes)
{
    QList<QPair<QString, QString>> result;
    QXmlStreamReader reader(bytes);
    int depth = 0;
    bool inForm = false;
    while (!reader.atEnd()) {
        const auto token = reader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            if (depth == 2)
                inForm = reader.name() == u"Hoofdscherm";
            if (depth == 3 && inForm) {
                const QString name = reader.name().toString();
                result.append({name, reader.readElementText(QXmlStreamReader::IncludeChildElements)});
                --depth;
            }
        } else if (token == QXmlStreamReader::EndElement) {
            --depth;
        }
    }
    if (reader.hasError())
        qWarning() << reader.errorString();
    return result;
}

QString valueOf(const QList<QPair<QString, QString>> &elements, const QString &name)
{
    for (const auto &[elementName, text] : elements) {
        if (elementName == name)
            return text;
    }
    return QStringLiteral("<missing>");
}

} // namespace

class TestConfigFile : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path() const { return m_dir.filePath(QStringLiteral("VeloraRBS.xml")); }

private Q_SLOTS:
    void init()
    {
        QFile::setPermissions(path(), QFile::ReadOwner | QFile::WriteOwner);
        QFile::remove(path());
    }

    void firstRunWritesEveryElementInOrder()
    {
        Settings settings;
        ConfigFile config(path());
        config.LoadSettings(settings);
        QCOMPARE(settings.text(Setting::RBSPoort), QStringLiteral("2100"));
        QVERIFY(!QFile::exists(path())); // nothing is written before the end

        config.SaveSettings(settings);
        QCOMPARE(config.FlushSettings(), ConfigFile::FlushResult::Written);

        const QByteArray bytes = readAll(path());
        QVERIFY(bytes.startsWith("<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>"));
        const auto elements = hoofdschermElements(bytes);
        QStringList names;
        for (const auto &element : elements)
            names << element.first;
        QCOMPARE(names, test::expectedElementOrder());

        QCOMPARE(valueOf(elements, QStringLiteral("FormVersion")), QStringLiteral("0"));
        QCOMPARE(valueOf(elements, QStringLiteral("AutoToewijzen_Checked")), QStringLiteral("TRUE"));
        QCOMPARE(valueOf(elements, QStringLiteral("GoogleV2_Checked")), QStringLiteral("TRUE"));
        QCOMPARE(valueOf(elements, QStringLiteral("RBSActive_Checked")), QStringLiteral("FALSE"));
        QCOMPARE(valueOf(elements, QStringLiteral("TrackBar1_Position")), QStringLiteral("15"));
        QCOMPARE(valueOf(elements, QStringLiteral("IntLab_Caption")), QStringLiteral("15 seconden"));
        QCOMPARE(valueOf(elements, QStringLiteral("F10_Text")), QStringLiteral("~"));
        QCOMPARE(valueOf(elements, QStringLiteral("xPaswoordSQL_Text")), QString());
        // Settings that start fresh on every run stay out of the file.
        QVERIFY(!names.contains(QStringLiteral("AutoPlannen_Checked")));
        QVERIFY(!names.contains(QStringLiteral("RBSGetalMax_Text")));

        // The next run reads back what this one wrote, a changed switch included.
        settings.setChecked(Setting::AutoToewijzen, false);
        config.SaveSettings(settings);
        config.FlushSettings();
        Settings next;
        ConfigFile(path()).LoadSettings(next);
        QVERIFY(!next.checked(Setting::AutoToewijzen));
        QVERIFY(next.checked(Setting::GoogleV2));
    }

    void yesNoValueForms_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<bool>("before");
        QTest::addColumn<bool>("after");
        QTest::newRow("yes lower case") << QByteArray("yes") << false << true;
        QTest::newRow("Y") << QByteArray("Y") << false << true;
        QTest::newRow("True mixed case") << QByteArray("True") << false << true;
        QTest::newRow("1") << QByteArray("1") << false << true;
        QTest::newRow("-7 is non-zero") << QByteArray("-7") << false << true;
        QTest::newRow("0") << QByteArray("0") << true << false;
        QTest::newRow("no") << QByteArray("no") << true << false;
        QTest::newRow("FALSE") << QByteArray("FALSE") << true << false;
        QTest::newRow("garbage keeps unchecked") << QByteArray("garbage") << false << false;
        QTest::newRow("garbage keeps checked") << QByteArray("garbage") << true << true;
        QTest::newRow("empty keeps checked") << QByteArray("") << true << true;
        QTest::newRow("hex is not decimal") << QByteArray("0x1") << false << false;
    }
    void yesNoValueForms()
    {
        QFETCH(QByteArray, stored);
        QFETCH(bool, before);
        QFETCH(bool, after);
        writeAll(path(), settingsFile("<RBSActive_Checked>" + stored + "</RBSActive_Checked>"));
        Settings settings;
        settings.setChecked(Setting::RBSActive, before);
        ConfigFile(path()).LoadSettings(settings);
        QCOMPARE(settings.checked(Setting::RBSActive), after);
    }

    void unreadableValueIsSkippedAndTheRestStillApplies()
    {
        writeAll(path(), settingsFile("<RBSPoort_Text>2200</RBSPoort_Text>"
                                      "<TrackBar1_Position>abc</TrackBar1_Position>"
                                      "<GoogleV2_Checked>maybe</GoogleV2_Checked>"
                                      "<Lokaal_Text>30</Lokaal_Text>"));
        Settings settings;
        ConfigFile(path()).LoadSettings(settings);
        QCOMPARE(settings.position(Setting::TrackBar1), 15);
        QVERIFY(settings.checked(Setting::GoogleV2));
        QCOMPARE(settings.text(Setting::RBSPoort), QStringLiteral("2200"));
        QCOMPARE(settings.text(Setting::Lokaal), QStringLiteral("30"));
    }

    // The operator's text survives the run that could not read it, unless the
    // setting was changed in that run; each problem is named once, in the
    // log as well.
    void unreadableValueIsWrittenBackAsItWas()
    {
        writeAll(path(), settingsFile("<RBSActive_Checked>ja</RBSActive_Checked>"
                                      "<TrackBar1_Position>tien</TrackBar1_Position>"
                                      "<GoogleV2_Checked>misschien</GoogleV2_Checked>"
                                      "<RBSPoort_Text>21OO</RBSPoort_Text>"));
        Settings settings;
        Log log(QStringLiteral("RBSLog"));
        ConfigFile config(path(), log);
        config.LoadSettings(settings);
        QVERIFY(!settings.checked(Setting::RBSActive));
        QCOMPARE(config.warnings().size(), 4);
        QCOMPARE(log.lines().size(), 4);
        QVERIFY(config.warnings().filter(QStringLiteral("RBSPoort_Text: \"21OO\" is read as 21.")).size() == 1);
        QVERIFY(config.loadProblem().isEmpty());

        settings.setChecked(Setting::GoogleV2, false); // changed in the window
        config.SaveSettings(settings);
        QCOMPARE(config.FlushSettings(), ConfigFile::FlushResult::Written);
        const auto elements = hoofdschermElements(readAll(path()));
        QCOMPARE(valueOf(elements, QStringLiteral("RBSActive_Checked")), QStringLiteral("ja"));
        QCOMPARE(valueOf(elements, QStringLiteral("TrackBar1_Position")), QStringLiteral("tien"));
        QCOMPARE(valueOf(elements, QStringLiteral("GoogleV2_Checked")), QStringLiteral("FALSE"));
        QCOMPARE(valueOf(elements, QStringLiteral("RBSPoort_Text")), QStringLiteral("21OO"));
    }

    void sliderPositionSetsItsLabel()
    {
        // IntLab comes before TrackBar1 in the file: the slider has the last word.
        writeAll(path(), settingsFile("<IntLab_Caption>99 seconden</IntLab_Caption>"
                                      "<TrackBar1_Position> 30 </TrackBar1_Position>"));
        Settings settings;
        ConfigFile(path()).LoadSettings(settings);
        QCOMPARE(settings.position(Setting::TrackBar1), 30);
        QCOMPARE(settings.text(Setting::IntLab), QStringLiteral("30 seconden"));
    }

    void negativeFormVersionIgnoresTheFile()
    {
        writeAll(path(), settingsFile("<FormVersion>-1</FormVersion><RBSPoort_Text>2200</RBSPoort_Text>"
                                      "<AutoToewijzen_Checked>FALSE</AutoToewijzen_Checked>"));
        Settings settings;
        ConfigFile(path()).LoadSettings(settings);
        QCOMPARE(settings.text(Setting::RBSPoort), QStringLiteral("2100"));
        QVERIFY(settings.checked(Setting::AutoToewijzen));
    }

    void unknownContentSurvivesARewrite()
    {
        writeAll(path(), "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n"
                         "<!-- kept by the operator -->\n"
                         "<Configuration>\n"
                         "  <Hoofdscherm>\n"
                         "    <Extra_Text kind=\"a&amp;b\">keep &lt;me&gt;</Extra_Text>\n"
                         "    <RBSPoort_Text>2200</RBSPoort_Text>\n"
                         "    <S1_Text>  two blanks  </S1_Text>\n"
                         "  </Hoofdscherm>\n"
                         "  <Other><Nested>x</Nested></Other>\n"
                         "</Configuration>\n");
        Settings settings;
        ConfigFile config(path());
        config.LoadSettings(settings);
        QCOMPARE(settings.text(Setting::S1), QStringLiteral("  two blanks  "));
        settings.setText(Setting::RBSPoort, QStringLiteral("2300"));
        config.SaveSettings(settings);
        QCOMPARE(config.FlushSettings(), ConfigFile::FlushResult::Written);

        const QByteArray bytes = readAll(path());
        QVERIFY(bytes.contains("<!-- kept by the operator -->"));
        QVERIFY(bytes.contains("<Extra_Text kind=\"a&amp;b\">keep &lt;me&gt;</Extra_Text>"));
        QVERIFY(bytes.contains("<Nested>x</Nested>"));
        const auto elements = hoofdschermElements(bytes);
        // Known elements are updated where they stand, never duplicated;
        // FormVersion, missing here, is put first.
        QCOMPARE(elements.first().first, QStringLiteral("FormVersion"));
        QCOMPARE(elements.at(1).first, QStringLiteral("Extra_Text"));
        QCOMPARE(elements.at(2), qMakePair(QStringLiteral("RBSPoort_Text"), QStringLiteral("2300")));
        QCOMPARE(bytes.count("<RBSPoort_Text>"), 1);
        QCOMPARE(elements.size(), test::expectedElementOrder().size() + 1);

        Settings next;
        ConfigFile(path()).LoadSettings(next);
        QCOMPARE(next.text(Setting::S1), QStringLiteral("  two blanks  "));
    }

    void textValuesRoundTrip_data()
    {
        QTest::addColumn<QString>("password");
        QTest::newRow("markup characters") << QStringLiteral("a<b&c>d\"e'f");
        QTest::newRow("entity look-alike") << QStringLiteral("&amp;&lt;");
        QTest::newRow("Latin-1") << QStringLiteral("caf\u00e9 \u00fc\u00df");
        QTest::newRow("outside Latin-1") << QStringLiteral("\u20ac \u0394 \U0001F600");
        QTest::newRow("blanks and breaks") << QStringLiteral(" a\tb\r\nc ");
    }
    void textValuesRoundTrip()
    {
        QFETCH(QString, password);
        Settings settings;
        ConfigFile config(path());
        config.LoadSettings(settings);
        settings.setText(Setting::xPaswoordSQL, password);
        config.SaveSettings(settings);
        QCOMPARE(config.FlushSettings(), ConfigFile::FlushResult::Written);

        const QByteArray bytes = readAll(path());
        if (password.contains(u'<'))
            QVERIFY(bytes.contains("a&lt;b&amp;c&gt;d"));
        if (password.contains(QChar(0x20AC)))
            QVERIFY(bytes.contains("&#8364; &#916; &#128512;"));
        if (password.contains(QChar(0xE9)))
            QVERIFY(bytes.contains("caf\xe9 \xfc\xdf"));

        Settings next;
        ConfigFile(path()).LoadSettings(next);
        QCOMPARE(next.text(Setting::xPaswoordSQL), password);
    }

    void readOnlyFileIsNeverWritten()
    {
        const QByteArray original = settingsFile("<RBSPoort_Text>2200</RBSPoort_Text>");
        writeAll(path(), original);
        QVERIFY(QFile::setPermissions(path(), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        Settings settings;
        ConfigFile config(path());
        config.LoadSettings(settings);
        QCOMPARE(settings.text(Setting::RBSPoort), QStringLiteral("2200"));
        settings.setText(Setting::RBSPoort, QStringLiteral("2300"));
        config.SaveSettings(settings);
        // Checked by the file's marking, so this holds when the tests run as root.
        QCOMPARE(config.FlushSettings(), ConfigFile::FlushResult::ReadOnly);
        QCOMPARE(readAll(path()), original);
    }

    void flushCreatesTheFolder()
    {
        const QString nested = m_dir.filePath(QStringLiteral("a/b/VeloraRBS.xml"));
        Settings settings;
        ConfigFile config(nested);
        config.LoadSettings(settings);
        config.SaveSettings(settings);
        QCOMPARE(config.FlushSettings(), ConfigFile::FlushResult::Written);
        QVERIFY(QFile::exists(nested));
    }

    void malformedFileIsMovedAsideAndReported()
    {
        const QByteArray broken = "<Configuration><Hoofdscherm><RBSPoort_Text>2200</Hoofdscherm>";
        writeAll(path(), broken);
        Settings settings;
        Log log(QStringLiteral("RBSLog"));
        ConfigFile config(path(), log);
        config.LoadSettings(settings);

        QCOMPARE(settings.text(Setting::RBSPoort), QStringLiteral("2100"));
        const QString movedTo = config.movedAsideTo();
        QVERIFY(QFileInfo(movedTo).fileName().startsWith(QStringLiteral("VeloraRBS.xml.unreadable-")));
        QCOMPARE(readAll(movedTo), broken);
        QVERIFY(!QFile::exists(path()));
        QCOMPARE(log.lineCount(), 1);
        QVERIFY(log.lines().first().contains(QDir::toNativeSeparators(movedTo)));
        QVERIFY(config.loadProblem().contains(QDir::toNativeSeparators(movedTo)));

        // The end of the run writes a fresh file; the user's file stays as it was.
        config.SaveSettings(settings);
        QCOMPARE(config.FlushSettings(), ConfigFile::FlushResult::Written);
        QCOMPARE(valueOf(hoofdschermElements(readAll(path())), QStringLiteral("RBSPoort_Text")),
                 QStringLiteral("2100"));
        QCOMPARE(readAll(movedTo), broken);

        // A second broken file in the same second does not replace the first.
        writeAll(path(), "not xml");
        ConfigFile again(path(), log);
        again.LoadSettings(settings);
        QVERIFY(!again.movedAsideTo().isEmpty());
        QVERIFY(again.movedAsideTo() != movedTo);
        QCOMPARE(readAll(movedTo), broken);
        QCOMPARE(readAll(again.movedAsideTo()), QByteArray("not xml"));
    }

    void deeplyNestedFileIsMovedAsideInsteadOfOverflowingTheStack_data()
    {
        QTest::addColumn<int>("depth");
        QTest::addColumn<bool>("readable");
        QTest::newRow("unknown content nested 200 deep is kept") << 200 << true;
        QTest::newRow("nested 100000 deep") << 100000 << false;
    }

    void deeplyNestedFileIsMovedAsideInsteadOfOverflowingTheStack()
    {
        QFETCH(int, depth);
        QFETCH(bool, readable);
        const QByteArray nested = QByteArray("<X>").repeated(depth) + QByteArray("</X>").repeated(depth);
        writeAll(path(), settingsFile("    <RBSPoort_Text>2200</RBSPoort_Text>\n" + nested));
        Settings settings;
        Log log(QStringLiteral("RBSLog"));
        ConfigFile config(path(), log);
        config.LoadSettings(settings);

        QCOMPARE(settings.text(Setting::RBSPoort), readable ? QStringLiteral("2200") : QStringLiteral("2100"));
        QCOMPARE(config.movedAsideTo().isEmpty(), readable);
        config.SaveSettings(settings);
        QCOMPARE(config.FlushSettings(), ConfigFile::FlushResult::Written);
        const QByteArray written = readAll(path());
        QCOMPARE(written.count("<X>") + written.count("<X/>"), readable ? depth : 0);
        // Indentation grows with the depth; it must stay far from quadratic.
        QVERIFY(written.size() < 200 * 1024);
    }
};

QTEST_GUILESS_MAIN(TestConfigFile)
#include "tst_configfile.moc"
