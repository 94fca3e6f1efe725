// Power-cut sweep: runs an update on a virtual board again and again, cutting
// the power after a different number of bus bytes each time, powers the board
// up and records what its FPGA then loads (on a Lumo3, what its configuration
// logic made of the flash: the image, a fallback, a hang, or nothing and
// why; the bytes of the image that configured tell old from new and whole
// from partial). The cut points are spread evenly
// over the whole run and packed around every step boundary (each erase, the
// first and last program, the switch word), found from a traced reference
// run.
//
//   power_cut_sweep update   [--points N]  Lumo3 -wupdate: asserts the MultiBoot
//                                          promise (golden, the old update while
//                                          the switch word stands, or the whole
//                                          new update; never a partial image,
//                                          so never a fallback or a hang)
//   power_cut_sweep golden   [--points N]  Lumo3 -wgold: report only
//   power_cut_sweep minilumo [--points N]  Mini Lumo -wifany: report only
//
// --list prints every cut point with its outcome (and the FPGA's reason).
//
// Every run, the cut ones included, must break none of the chips' rules: the
// frame that the power cut interrupts never ends, so it is left out by
// itself.
//
// The reference and the cut runs go at worker level (run --worker-level):
// what a cut leaves behind is the frames on the bus and the chips' time,
// which the emulated registers would only reach ten times slower, polling a
// busy chip somewhat less often (the whole-stack test holds the two levels to
// the same frames otherwise).
//
// Exit status 0, or 1 when a promise is broken (or a run misbehaves).

#include "GoldenHeaders.h"
#include "SampleBitstream.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <functional>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

struct Result {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

[[noreturn]] void die(const QString& why)
{
    std::fprintf(stderr, "power_cut_sweep: %s\n", qUtf8Printable(why));
    std::exit(1);
}

Result tool(const QStringList& args, const QString& cwd)
{
    QProcess p;
    p.setWorkingDirectory(cwd);
    p.start(QStringLiteral(LUMO3_BOARD_PATH), args);
    if (!p.waitForFinished(300000))
        die("lumo3-board did not finish: " + args.join(' '));
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

Result mustTool(const QStringList& args, const QString& cwd)
{
    const Result r = tool(args, cwd);
    if (r.exitCode != 0)
        die(QStringLiteral("lumo3-board %1 failed (%2): %3").arg(args.join(' ')).arg(r.exitCode).arg(QString(r.err)));
    return r;
}

void writeFile(const QString& path, const QByteArray& data)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data) != data.size())
        die("cannot write " + path);
}

QByteArray readRange(const QString& path, qint64 at, qint64 length)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || !f.seek(at))
        die("cannot read " + path);
    return f.read(length);
}

// A board for every cut point: the kernel copies its 32 MiB of flash in
// one call, four times as fast as QFile::copy's blocks.
void copyDir(const QString& from, const QString& to)
{
    QDir().mkpath(to);
    for (const QString& name : QDir(from).entryList(QDir::Files)) {
        std::error_code error;
        std::filesystem::copy_file(QFile::encodeName(QDir(from).filePath(name)).toStdString(),
                                   QFile::encodeName(QDir(to).filePath(name)).toStdString(), error);
        if (error)
            die("cannot copy " + name);
    }
}

QJsonObject status(const QString& board)
{
    return QJsonDocument::fromJson(mustTool({"status", board, "--json"}, QDir::tempPath()).out).object();
}

// The rules of the chips that the board's last run broke: empty when none,
// else the count and the first breach.
QString violations(const QString& board)
{
    const QJsonObject v = status(board).value("violations").toObject();
    if (v.value("count").toDouble() == 0)
        return {};
    const QJsonObject first = v.value("first").toArray().at(0).toObject();
    return QStringLiteral("%1 breaches of the chips' rules, the first at bus byte %2, %3: %4")
        .arg(v.value("count").toDouble())
        .arg(first.value("bus_byte").toDouble(), 0, 'f', 0)
        .arg(first.value("where").toString(), first.value("rule").toString());
}

// A run that must succeed, and break no rule.
void mustRun(const QStringList& args, const QString& board, const QString& cwd)
{
    mustTool(QStringList{"run", board, "--"} + args, cwd);
    const QString broken = violations(board);
    if (!broken.isEmpty())
        die(QStringLiteral("lumo3-board run %1 -- %2: %3").arg(board, args.join(' '), broken));
}

QByteArray bitstream(int bytes, quint32 seed, bool raw, QByteArray* data)
{
    sim::SampleBitstream sample;
    sample.dataBytes = bytes;
    sample.seed = seed;
    *data = sample.configurationData();
    return raw ? *data : sample.file();
}

// One scenario: a prepared board, the updater's arguments, and how to tell
// what the board boots after a cut.
struct Scenario {
    QString name;
    QString kind;
    QString imageFile;
    QStringList args;
    std::map<QString, QByteArray> files;  // put into each run's working directory
    // Classifies a board after its power-up; sets broken when a promise is
    // broken, and why to what the FPGA gives as the reason for its outcome.
    std::function<QString(const QString& board, std::uint64_t cut, bool& broken, QString& why)> classify;
    std::vector<QString> outcomes;  // the report's order
};

struct Reference {
    std::uint64_t totalBytes = 0;
    std::vector<std::uint64_t> boundaries;
    std::uint64_t headerErased = 0;  // first byte after the header erase has finished
};

// Parses a trace: the bytes where steps begin, and where an erase has ended
// (the first frame after its status polls).
Reference readTrace(const QString& path, std::uint64_t totalBytes)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        die("no trace at " + path);
    Reference ref;
    ref.totalBytes = totalBytes;
    const QStringList erases = {"SUBSECTOR ERASE", "SECTOR ERASE", "CE", "WRSR"};
    const QStringList programs = {"PAGE PROGRAM", "PP"};
    bool afterErase = false;
    bool headerErase = false;
    std::uint64_t firstProgram = 0;
    std::uint64_t lastProgram = 0;
    f.readLine();
    while (!f.atEnd()) {
        const QString line = QString::fromUtf8(f.readLine()).trimmed();
        const QStringList parts = line.split(' ', Qt::SkipEmptyParts);
        if (parts.size() < 5)
            continue;
        const std::uint64_t byte = parts.at(2).toULongLong();
        const QString event = parts.mid(4).join(' ');  // single blanks from here on
        if (parts.at(3) == "GPIO")
            afterErase = false;
        const bool poll = event.startsWith("READ STATUS") || event.startsWith("RDSR");
        if (afterErase && !poll) {
            ref.boundaries.push_back(byte);
            if (headerErase && ref.headerErased == 0)
                ref.headerErased = byte;
            afterErase = false;
        }
        for (const QString& e : erases) {
            if (event.startsWith(e + " ") || event == e) {
                ref.boundaries.push_back(byte);
                afterErase = true;
                headerErase = event.startsWith("SUBSECTOR ERASE 0x000000");
            }
        }
        for (const QString& p : programs) {
            if (event.startsWith(p + " ")) {
                if (firstProgram == 0)
                    firstProgram = byte;
                lastProgram = byte;
                if (event.contains("0x000ffc")) {
                    ref.boundaries.push_back(byte);
                    afterErase = true;  // and where its program has ended
                }
            }
        }
        if (parts.at(3) == "GPIO" && parts.size() > 5 && parts.at(5) == "low")
            ref.boundaries.push_back(byte);
    }
    ref.boundaries.push_back(firstProgram);
    ref.boundaries.push_back(lastProgram);
    return ref;
}

std::vector<std::uint64_t> cutPoints(const Reference& ref, int points)
{
    std::set<std::uint64_t> cuts;
    const int windowHalf = 32;
    const int step = 4;
    for (std::uint64_t b : ref.boundaries)
        for (int d = -windowHalf; d <= windowHalf; d += step)
            if (static_cast<std::int64_t>(b) + d >= 1 && b + d <= ref.totalBytes)
                cuts.insert(b + d);
    const int even = std::max(points - static_cast<int>(cuts.size()), points / 2);
    for (int i = 1; i <= even; ++i)
        cuts.insert(std::max<std::uint64_t>(1, ref.totalBytes * i / (even + 1)));
    return {cuts.begin(), cuts.end()};
}

Scenario lumo3Scenario(const QString& root, bool update)
{
    QByteArray golden;
    QByteArray oldUpdate;
    QByteArray next;
    const QString work = root + "/template-work";
    QDir().mkpath(work);
    writeFile(work + "/gold.bit", bitstream(100000, 1, false, &golden));
    writeFile(work + "/old.bit", bitstream(150000, 2, false, &oldUpdate));
    const QByteArray nextFile = bitstream(update ? 200000 : 120000, 3, false, &next);
    const QString board = root + "/template";
    mustTool({"create", board, "--kind", "lumo3"}, work);
    mustRun({"-wgold", "gold.bit"}, board, work);
    mustRun({"-wupdate", "old.bit"}, board, work);
    if (status(board).value("fpga").toObject().value("loaded").toString() != "update")
        die("the template board does not boot its update image");

    Scenario s;
    s.kind = "lumo3";
    s.imageFile = "n25q256.img";
    s.files = {{"new.bit", nextFile}};
    const QByteArray& goldenHeader = kGoldenHeader;
    const auto holds = [](const QString& image, qint64 at, const QByteArray& data) {
        return readRange(image, at, data.size()) == data;
    };
    if (update) {
        s.name = "Lumo3 -wupdate new.bit (golden 100 kB and an older update 150 kB in place, new update 200 kB)";
        s.args = QStringList{"-wupdate", "new.bit"};
        s.outcomes = {"golden",          "old update", "new update", "golden by fallback", "partial update",
                      "golden damaged", "hangs",      "nothing"};
        s.classify = [=](const QString& b, std::uint64_t, bool& broken, QString& why) {
            const QString image = b + "/n25q256.img";
            const QJsonObject fpga = status(b).value("fpga").toObject();
            const QString loaded = fpga.value("loaded").toString();
            why = fpga.value("error").toString();
            QString outcome = fpga.value("hangs").toBool() ? "hangs" : "nothing";
            if (loaded == "golden")
                outcome = !holds(image, 0x1000, goldenHeader + golden) ? "golden damaged"
                          : fpga.value("fallback").toBool()            ? "golden by fallback"
                                                                       : "golden";
            else if (loaded == "update")
                outcome = holds(image, 0x400000, next)        ? "new update"
                          : holds(image, 0x400000, oldUpdate) ? "old update"
                                                              : "partial update";
            broken = outcome != "golden" && outcome != "old update" && outcome != "new update";
            return outcome;
        };
    } else {
        s.name = "Lumo3 -wgold new.bit (golden 100 kB and an update 150 kB in place, new golden 120 kB)";
        s.args = QStringList{"-wgold", "new.bit"};
        s.outcomes = {"update", "update after bad golden", "old golden", "new golden", "partial golden",
                      "hangs", "nothing"};
        s.classify = [=](const QString& b, std::uint64_t, bool& broken, QString& why) {
            const QString image = b + "/n25q256.img";
            const QJsonObject board = status(b);
            const QJsonObject fpga = board.value("fpga").toObject();
            const QString loaded = fpga.value("loaded").toString();
            why = fpga.value("error").toString();
            broken = false;
            // Without the switch word the stream from address 0 began in
            // the golden area and ran on into the update image.
            if (loaded == "update")
                return board.value("flash").toObject().value("switch_word").toBool()
                           ? QString("update")
                           : QString("update after bad golden");
            if (loaded == "golden")
                return holds(image, 0x1000, goldenHeader + next)     ? QString("new golden")
                       : holds(image, 0x1000, goldenHeader + golden) ? QString("old golden")
                                                                     : QString("partial golden");
            return fpga.value("hangs").toBool() ? QString("hangs") : QString("nothing");
        };
    }
    return s;
}

Scenario miniLumoScenario(const QString& root)
{
    QByteArray old;
    QByteArray next;
    const QString work = root + "/template-work";
    QDir().mkpath(work);
    const QString board = root + "/template";
    mustTool({"create", board, "--kind", "minilumo"}, work);
    writeFile(work + "/old.bin", bitstream(150000, 2, true, &old));
    mustRun({"-wifany"}, board, work);
    mustTool({"power-cycle", board}, work);
    if (!status(board).value("fpga").toObject().value("done").toBool())
        die("the template Mini Lumo board's FPGA is not configured");

    Scenario s;
    s.name = "Mini Lumo -wifany (an older configuration 150 kB in place, new one 200 kB)";
    s.kind = "minilumo";
    s.imageFile = "mx25l3206e.img";
    s.args = QStringList{"-wifany"};
    s.files = {{"new.bin", bitstream(200000, 3, true, &next)}};
    s.outcomes = {"old configuration", "new configuration", "partial configuration", "nothing (DONE low)"};
    s.classify = [=](const QString& b, std::uint64_t, bool& broken, QString&) {
        broken = false;
        const QString image = b + "/mx25l3206e.img";
        if (!status(b).value("fpga").toObject().value("done").toBool())
            return QString("nothing (DONE low)");
        return readRange(image, 0, next.size()) == next  ? QString("new configuration")
               : readRange(image, 0, old.size()) == old ? QString("old configuration")
                                                        : QString("partial configuration");
    };
    return s;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    int points = 1000;
    const bool list = args.removeAll("--list") > 0;
    const int at = args.indexOf("--points");
    if (at >= 0 && at + 1 < args.size()) {
        points = args.at(at + 1).toInt();
        args.erase(args.begin() + at, args.begin() + at + 2);
    }
    if (args.size() != 1 || points < 1 || !QStringList{"update", "golden", "minilumo"}.contains(args.at(0))) {
        std::fprintf(stderr, "usage: power_cut_sweep update|golden|minilumo [--points N] [--list]\n");
        return 2;
    }
    const QString which = args.at(0);

    QTemporaryDir temp;
    const QString root = temp.path();
    const Scenario s = which == "minilumo" ? miniLumoScenario(root) : lumo3Scenario(root, which == "update");

    // The reference run, traced, to find the run's length and its steps.
    const QString refBoard = root + "/reference";
    const QString refWork = root + "/reference-work";
    copyDir(root + "/template", refBoard);
    QDir().mkpath(refWork);
    for (const auto& [name, data] : s.files)
        writeFile(refWork + "/" + name, data);
    const Result ref = tool(
        QStringList{"run", refBoard, "--trace", root + "/reference.trace", "--worker-level", "--"} + s.args, refWork);
    if (ref.exitCode != 0)
        die(QStringLiteral("the reference run failed (%1): %2").arg(ref.exitCode).arg(QString(ref.err)));
    const QString refBreaches = violations(refBoard);
    if (!refBreaches.isEmpty())
        die(QStringLiteral("the reference run: %1").arg(refBreaches));
    const std::uint64_t total =
        static_cast<std::uint64_t>(status(refBoard).value("last_run").toObject().value("bus_bytes").toDouble());
    const Reference reference = readTrace(root + "/reference.trace", total);
    const std::vector<std::uint64_t> cuts = cutPoints(reference, points);

    std::map<QString, int> counts;
    std::map<std::uint64_t, QString> outcomes;
    std::vector<QString> broken;
    std::mutex lock;
    std::atomic<std::size_t> next{0};
    const auto worker = [&] {
        for (std::size_t i = next++; i < cuts.size(); i = next++) {
            const std::uint64_t cut = cuts[i];
            const QString dir = QStringLiteral("%1/cut-%2").arg(root).arg(cut);
            copyDir(root + "/template", dir + "/board");
            QDir().mkpath(dir + "/work");
            for (const auto& [name, data] : s.files)
                writeFile(dir + "/work/" + name, data);
            mustTool({"fault", dir + "/board", "power-cut", QString::number(cut), QString::number(cut)}, dir);
            const Result run = tool(QStringList{"run", dir + "/board", "--worker-level", "--"} + s.args, dir + "/work");
            QString outcome;
            QString why;
            bool promiseBroken = false;
            const QString breaches = violations(dir + "/board");
            if (run.exitCode != 3) {
                outcome = "run not cut";
                promiseBroken = cut < total;
            } else {
                mustTool({"power-cycle", dir + "/board"}, dir);
                outcome = s.classify(dir + "/board", cut, promiseBroken, why);
                // The old update may only survive while the switch word stands.
                if (outcome == "old update" && cut >= reference.headerErased)
                    promiseBroken = true;
            }
            QDir(dir).removeRecursively();
            std::lock_guard<std::mutex> guard(lock);
            ++counts[outcome];
            const QString listed = why.isEmpty() ? outcome : QStringLiteral("%1 (%2)").arg(outcome, why);
            outcomes[cut] = listed;
            if (promiseBroken)
                broken.push_back(QStringLiteral("cut after %1 bytes: %2").arg(cut).arg(listed));
            if (!breaches.isEmpty())
                broken.push_back(QStringLiteral("cut after %1 bytes: %2").arg(cut).arg(breaches));
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < std::max(1, QThread::idealThreadCount()); ++t)
        threads.emplace_back(worker);
    for (std::thread& t : threads)
        t.join();

    if (list)
        for (const auto& [cut, outcome] : outcomes)
            std::printf("%12llu  %s\n", static_cast<unsigned long long>(cut), qUtf8Printable(outcome));
    std::printf("Power-cut sweep: %s\n", qUtf8Printable(s.name));
    std::printf("  %zu cut points over %llu bus bytes (%zu step boundaries, each packed with cuts)\n", cuts.size(),
                static_cast<unsigned long long>(total), reference.boundaries.size());
    std::printf("  what the board boots after the cut and a power-up:\n");
    std::vector<QString> order = s.outcomes;
    for (const auto& [outcome, n] : counts)
        if (std::find(order.begin(), order.end(), outcome) == order.end())
            order.push_back(outcome);
    for (const QString& outcome : order)
        std::printf("    %-24s %6d\n", qUtf8Printable(outcome), counts.count(outcome) ? counts[outcome] : 0);
    if (which != "update") {
        int unbootable = 0;
        for (const auto& [outcome, n] : counts)
            if (outcome.startsWith("nothing") || outcome.startsWith("partial") || outcome == "hangs")
                unbootable += n;
        std::printf("  left unbootable or on a partial image: %d of %zu cut points\n", unbootable, cuts.size());
    }
    if (!broken.empty()) {
        std::printf("  BROKEN PROMISES: %zu\n", broken.size());
        for (const QString& b : broken)
            std::printf("    %s\n", qUtf8Printable(b));
        return 1;
    }
    if (which == "update")
        std::printf("  the promise holds at every cut point\n");
    return 0;
}
