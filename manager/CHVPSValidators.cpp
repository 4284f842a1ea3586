#include "CHVPSValidators.h"

#include <QUrl>

CIntValidator::CIntValidator(long min, long max, QObject* parent)
    : QValidator(parent), iMin(min), iMax(max) {}

QValidator::State CIntValidator::validate(QString& input, int& pos) const {
    bool ok = false;
    long n = input.toLong(&ok, 10);
    if (!ok) return input.isEmpty() ? Intermediate : Invalid;
    input = QString::number(n);
    pos = std::min<int>(pos, input.size());
    return (n >= iMin && n <= iMax) ? Acceptable : Intermediate;
}

CURLValidator::CURLValidator(QObject* parent) : QValidator(parent) {}

QValidator::State CURLValidator::validate(QString& input, int&) const {
    const QString host = input.trimmed();
    if (host.isEmpty()) return Intermediate;
    QUrl url(QStringLiteral("http://") + host, QUrl::StrictMode);
    // Host names are case-insensitive and the URL reports them in lower case.
    if (url.isValid() && url.host().compare(host, Qt::CaseInsensitive) == 0) return Acceptable;
    return Intermediate;
}
