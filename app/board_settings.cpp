#include "board_settings.h"

#include "flash_range_args.h"
#include "series7_stream.h"

#include <QFile>
#include <QSettings>

const char* lumo3update_config_path = BoardPartSetting::kFile;

BoardPartSetting readBoardPartSetting()
{
    BoardPartSetting setting;
    setting.file = QFile::decodeName(lumo3update_config_path);
    const QSettings settings(setting.file, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        setting.error = QStringLiteral("Can't read the settings in %1 (%2): no FPGA image is written until they can "
                                       "be read!")
                            .arg(setting.file,
                                 settings.status() == QSettings::AccessError ? QStringLiteral("not readable")
                                                                             : QStringLiteral("a line it cannot parse"));
        return setting;
    }
    const QVariant value = settings.value(QStringLiteral("fpga_idcode"));
    if (!value.isValid())
        return setting;
    const QString text = value.toString().trimmed();
    const std::optional<qint64> number = parseFlashNumber(text);
    if (!number || *number < 0 || *number > 0xFFFFFFFF || !series7Part(static_cast<quint32>(*number))) {
        setting.error = QStringLiteral("fpga_idcode = %1 in %2 names no 7-series FPGA: give its IDCODE in "
                                       "hexadecimal, such as 0x0362D093 for the XC7A35T!")
                            .arg(value.toStringList().join(QLatin1String(", ")), setting.file);
        return setting;
    }
    setting.idcode = static_cast<quint32>(*number);
    return setting;
}
