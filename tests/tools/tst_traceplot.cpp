// kivra-trace's timeline as a person sees it: rendered by a real SVG renderer (rsvg-convert),
// at its size, different from an empty plot, and naming what it shows.
#include "goldentraces.h"
#include "tracereader.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>
#include <QtEndian>

namespace {

constexpr int RenderWaitMs = 30000;

QByteArray plotOf(const QByteArray &data)
{
    const kivratrace::Trace trace = kivratrace::parseTrace(data.constData(), std::size_t(data.size()));
    return kivratrace::svgTimeline(trace, kivratrace::summarize(trace, data.constData()));
}

// All text a reader of the picture sees, in document order.
QStringList textsOf(const QByteArray &svg)
{
    QXmlStreamReader xml(svg);
    QStringList texts;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement() && xml.name() == QLatin1String("text"))
            texts.append(xml.readElementText());
    }
    return xml.hasError() ? QStringList{QStringLiteral("XML error: ") + xml.errorString()} : texts;
}

bool anyContains(const QStringList &texts, const QString &part)
{
    for (const QString &t : texts) {
        if (t.contains(part))
            return true;
    }
    return false;
}

// Renders to PNG; empty when the renderer failed.
QByteArray render(const QString &rsvg, const QTemporaryDir &dir, const QString &name, const QByteArray &svg,
                  QByteArray *errors)
{
    const QString svgPath = dir.filePath(name + QStringLiteral(".svg"));
    const QString pngPath = dir.filePath(name + QStringLiteral(".png"));
    QFile file(svgPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(svg) != svg.size())
        return {};
    file.close();
    QProcess process;
    process.start(rsvg, {QStringLiteral("--format=png"), QStringLiteral("-o"), pngPath, svgPath});
    if (!process.waitForFinished(RenderWaitMs)) {
        process.kill();
        process.waitForFinished(RenderWaitMs);
        return {};
    }
    *errors = process.readAllStandardError();
    QFile png(pngPath);
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0 || !png.open(QIODevice::ReadOnly))
        return {};
    return png.readAll();
}

} // namespace

class TestTracePlot : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void namesWhatItShows_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("texts");
        const QStringList common{"to peer", "to emulator", "datagrams/s", "wait (ms)", "time since the trace began (s)"};
        QTest::newRow("steady") << "steady"
                                << common + QStringList{"Match steady.1, started 2025-12-06 05:46:40 UTC", "first ping",
                                                        "last ping (10 sent)", "delay 1 proposed",
                                                        "first game datagram to peer",
                                                        "first game datagram to emulator"};
        QTest::newRow("gap-burst") << "gap-burst"
                                   << common + QStringList{"Match gap.2", "367 ms gap to emulator", "ms gap to peer"};
        QTest::newRow("damaged") << "damaged" << common + QStringList{"Match bad.1", "trace damaged"};
    }

    void namesWhatItShows()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, texts);
        const QStringList shown = textsOf(plotOf(goldentraces::trace(name)));
        for (const QString &part : texts)
            QVERIFY2(anyContains(shown, part), qPrintable(part + QStringLiteral(" not in: ") + shown.join(" | ")));
        // Seconds on the time axis: 0 and at least one later tick.
        QVERIFY(shown.contains(QStringLiteral("0")));
    }

    void rendersAsAPicture_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("steady") << "steady";
        QTest::newRow("gap-burst") << "gap-burst";
        QTest::newRow("damaged") << "damaged";
    }

    void rendersAsAPicture()
    {
        QFETCH(QString, name);
        const QString rsvg = QStandardPaths::findExecutable(QStringLiteral("rsvg-convert"));
        if (rsvg.isEmpty())
            QSKIP("rsvg-convert is not installed (scripts/packages.d/trace.txt lists librsvg2-bin)");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QByteArray errors;
        const QByteArray png = render(rsvg, dir, name, plotOf(goldentraces::trace(name)), &errors);
        QVERIFY2(png.size() > 24, errors.constData());
        QVERIFY2(errors.isEmpty(), errors.constData());
        QCOMPARE(png.left(8), QByteArray("\x89PNG\r\n\x1a\n"));
        // IHDR: width and height, big-endian, at bytes 16 and 20.
        QCOMPARE(qFromBigEndian<quint32>(png.constData() + 16), quint32(kivratrace::SvgWidth));
        QCOMPARE(qFromBigEndian<quint32>(png.constData() + 20), quint32(kivratrace::svgHeight()));

        const QByteArray empty = render(rsvg, dir, QStringLiteral("empty"), plotOf(QByteArray()), &errors);
        QVERIFY2(empty.size() > 24, errors.constData());
        QCOMPARE(empty.mid(16, 8), png.mid(16, 8));
        QVERIFY(empty != png);
    }
};

QTEST_GUILESS_MAIN(TestTracePlot)
#include "tst_traceplot.moc"
