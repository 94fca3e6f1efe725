#include "BoardDirectory.h"

#include "WholeFile.h"

#include "AX8052.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

namespace sim {

namespace {
constexpr int kFormat = 1;

QJsonObject runTimes(std::uint64_t bytes, Nanos transfer, Nanos busy, Nanos wait)
{
    return {{"bus_bytes", static_cast<double>(bytes)},
            {"transfer_ns", static_cast<double>(transfer)},
            {"busy_ns", static_cast<double>(busy)},
            {"wait_ns", static_cast<double>(wait)},
            {"total_ns", static_cast<double>(transfer + busy + wait)}};
}
}  // namespace

bool BoardDirectory::create(const QString& dir, const QString& kindName, QString& error,
                            std::optional<std::uint32_t> part)
{
    const BoardKindInfo* kind = findBoardKind(kindName);
    if (!kind) {
        error = QStringLiteral("unknown board kind '%1'").arg(kindName);
        return false;
    }
    if (QFile::exists(QDir(dir).filePath(kStateFile))) {
        error = QStringLiteral("%1 already holds a board").arg(dir);
        return false;
    }
    if (!QDir().mkpath(dir)) {
        error = QStringLiteral("cannot create directory %1").arg(dir);
        return false;
    }
    std::unique_ptr<BoardDirectory> created(new BoardDirectory(dir, *kind));
    std::vector<MappedImage*> chips;
    for (const ChipImageFile& file : kind->images) {
        auto image = MappedImage::create(QDir(dir).filePath(file.fileName), file.size, error);
        if (!image)
            return false;
        chips.push_back(image.get());
        created->images_.push_back(std::move(image));
    }
    created->board_ = kind->make(chips);
    if (part && !created->board_->setPart(*part)) {
        error = QStringLiteral("a %1 board has no FPGA part to set").arg(kindName);
        return false;
    }
    created->board_->powerCycle();
    return created->save(error);
}

std::unique_ptr<BoardDirectory> BoardDirectory::open(const QString& dir, QString& error, DamagedFaults damaged)
{
    if (!QDir(dir).exists()) {
        error = QStringLiteral("no board at %1: the directory does not exist").arg(dir);
        return nullptr;
    }
    QFile stateFile(QDir(dir).filePath(kStateFile));
    if (!stateFile.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("no board at %1: %2 is missing (make one with 'lumo3-board create')")
                    .arg(dir, kStateFile);
        return nullptr;
    }
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(stateFile.readAll(), &parseError);
    const QJsonObject state = doc.object();
    if (parseError.error != QJsonParseError::NoError || !doc.isObject() ||
        state.value("format").toInt() != kFormat) {
        error = QStringLiteral("the board at %1 is damaged: %2 is unreadable").arg(dir, kStateFile);
        return nullptr;
    }
    const BoardKindInfo* kind = findBoardKind(state.value("kind").toString());
    if (!kind) {
        error = QStringLiteral("the board at %1 is damaged: unknown kind '%2'")
                    .arg(dir, state.value("kind").toString());
        return nullptr;
    }

    std::unique_ptr<BoardDirectory> opened(new BoardDirectory(dir, *kind));
    std::vector<MappedImage*> chips;
    for (const ChipImageFile& file : kind->images) {
        QString imageError;
        auto image = MappedImage::open(QDir(dir).filePath(file.fileName), file.size, imageError);
        if (!image) {
            error = QStringLiteral("the board at %1 is damaged: %2").arg(dir, imageError);
            return nullptr;
        }
        chips.push_back(image.get());
        opened->images_.push_back(std::move(image));
    }
    opened->board_ = kind->make(chips);
    opened->board_->clock().resume(static_cast<Nanos>(state.value("clock_ns").toDouble()));
    // Faults first: what the board restores may depend on them (a DONE line held low).
    const QJsonValue faults = state.value("faults");
    QString faultsError;
    if (!faults.isUndefined() && !faults.isObject())
        faultsError = QStringLiteral("the faults are unreadable");
    else
        opened->board_->faults().fromJson(faults.toObject(), opened->flashBytes(), faultsError);
    if (!faultsError.isEmpty() && damaged == DamagedFaults::Refuse) {
        error = QStringLiteral("the board at %1 is damaged: %2; 'lumo3-board fault %1 --clear' clears them")
                    .arg(dir, faultsError);
        return nullptr;
    }
    opened->faultsDamage_ = faultsError;
    QString boardError;
    if (!opened->board_->restoreState(state.value("board").toObject(), boardError)) {
        error = QStringLiteral("the board at %1 is damaged: %2").arg(dir, boardError);
        return nullptr;
    }
    opened->lastRun_ = state.value("last_run").toObject();
    opened->violations_ = Violations::fromJson(state.value("violations").toObject());
    return opened;
}

void BoardDirectory::beginRun()
{
    VirtualClock& clock = board_->clock();
    runStart_ = {clock.spent(TimeKind::Transfer), clock.spent(TimeKind::BusyPoll), clock.spent(TimeKind::Wait)};
    board_->wiring().violations().clear();
}

void BoardDirectory::recordRun()
{
    VirtualClock& clock = board_->clock();
    lastRun_ = runTimes(board_->wiring().bytesOnBus(), clock.spent(TimeKind::Transfer) - runStart_[0],
                        clock.spent(TimeKind::BusyPoll) - runStart_[1],
                        clock.spent(TimeKind::Wait) - runStart_[2]);
    violations_ = board_->wiring().violations();
}

void BoardDirectory::endRun()
{
    recordRun();
    board_->finishRun();
}

void BoardDirectory::endRunByPowerCut()
{
    recordRun();
    lastRun_.insert("power_cut", true);
    BoardFaults& faults = board_->faults();
    board_->cutPower(faults.powerCutSeed);
    faults.powerCutAfterBytes.reset();
}

bool BoardDirectory::save(QString& error)
{
    const QJsonObject state{{"format", kFormat},
                            {"kind", kind_.name},
                            {"clock_ns", static_cast<double>(board_->clock().now())},
                            {"board", board_->saveState()},
                            {"faults", board_->faults().toJson()},
                            {"last_run", lastRun_},
                            {"violations", violations_.toJson()}};
    // Written whole or not at all, so a failing save cannot damage the board.
    QString why;
    if (writeWholeFile(QDir(dir_).filePath(kStateFile), QJsonDocument(state).toJson(), why))
        return true;
    error = QStringLiteral("cannot save the board at %1: %2").arg(dir_, why);
    return false;
}

void BoardDirectory::clearFaults()
{
    board_->faults() = BoardFaults{};
    faultsDamage_.clear();
}

QStringList BoardDirectory::ownFiles() const
{
    QStringList names{kStateFile, AX8052::kImageFile, AX8052::kStateFile, "board.lock", "lumo3update.lock",
                      "lumo3update.conf"};
    for (const ChipImageFile& image : kind_.images)
        names << image.fileName;
    QStringList files;
    for (const QString& name : names)
        files << QDir(dir_).filePath(name);
    return files;
}

QJsonObject BoardDirectory::status()
{
    QJsonObject status = board_->status();
    status.insert("kind", kind_.name);
    status.insert("faults", faultsDamage_.isEmpty() ? board_->faults().toJson()
                                                    : QJsonObject{{"unreadable", faultsDamage_}});
    status.insert("last_run", lastRun_);
    status.insert("violations", violations_.toJson());
    return status;
}

}  // namespace sim
