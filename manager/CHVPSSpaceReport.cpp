#include "CHVPSSpaceReport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QStringList>
#include <cmath>

namespace {
qint64 folderBytes(const QString& folder) {
    qint64 bytes = 0;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        bytes += it.fileInfo().size();
    }
    return bytes;
}
}  // namespace

CHVPSSpaceReport CHVPSSpaceReport::readRepository(const QString& folder) {
    CHVPSSpaceReport report;
    QFile db(QDir(folder).filePath(QStringLiteral("space-db")));
    if (!db.open(QIODevice::ReadOnly)) {
        report.error = QObject::tr("Cannot read %1").arg(db.fileName());
    } else {
        // One line per space: id TAB title TAB encrypted key; the trailer line has no key.
        for (QByteArray line : db.readAll().split('\n')) {
            if (line.endsWith('\r')) line.chop(1);
            const QList<QByteArray> fields = line.split('\t');
            if (fields.size() < 3 || fields[2].isEmpty()) continue;
            CHVPSSpace space;
            space.id = fields[0].trimmed().toUInt();
            space.title = QString::fromUtf8(fields[1]);
            if (space.id > 0) report.spaces.append(space);
        }
        std::sort(report.spaces.begin(), report.spaces.end(),
                  [](const CHVPSSpace& a, const CHVPSSpace& b) { return a.id < b.id; });
    }
    const QDir repository(folder);
    QHash<QString, qint64> used;
    for (const QString& name : repository.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks)) {
        const qint64 bytes = folderBytes(repository.filePath(name));
        used.insert(name, bytes);
        report.totalBytes += bytes;
    }
    for (CHVPSSpace& space : report.spaces) space.bytes = used.value(QString::number(space.id));
    return report;
}

bool CHVPSSpaceReport::applyStatistics(const QString& clientOutput) {
    static const QRegularExpression row(QStringLiteral("^\\s*(\\d+)\\s+(\\d+)\\s+(-?\\d+)\\s+(\\d+)\\s*$"),
                                        QRegularExpression::MultilineOption);
    bool found = false;
    auto it = row.globalMatch(clientOutput);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        const quint32 id = match.captured(1).toUInt();
        for (CHVPSSpace& space : spaces)
            if (space.id == id) space.gone = (match.captured(2).toUInt() & 4) != 0;
        limitBytes = match.captured(3).toLongLong();
        totalBytes = match.captured(4).toLongLong();
        found = true;
    }
    fromServer = found;
    return found;
}

qint64 CHVPSSpaceReport::parseSize(const QString& text) {
    static const QRegularExpression size(QStringLiteral("^\\s*(\\d+(?:\\.\\d*)?)\\s*(?:([KMGTP])B?)?\\s*$"),
                                         QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = size.match(text);
    if (!match.hasMatch()) return -1;
    const double number = std::floor(match.captured(1).toDouble());
    const int shift = 10 * (QStringLiteral("KMGTP").indexOf(match.captured(2).toUpper()) + 1);
    const double bytes = std::ldexp(number, match.captured(2).isEmpty() ? 0 : shift);
    return bytes < 9.2e18 ? static_cast<qint64>(bytes) : -1;
}

QString CHVPSSpaceReport::idList() const {
    QStringList ids;
    for (const CHVPSSpace& space : spaces) ids << QString::number(space.id);
    return ids.join(QLatin1Char(','));
}
