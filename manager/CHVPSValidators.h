// Input validators of the configuration form. They are also used without a widget to judge the
// values of the configuration file (CHVPSConfigDialog::hasValidConfigFile).
#pragma once

#include <QValidator>

// A decimal number within [min, max]. Text that is a number is rewritten in its canonical
// decimal form; text that is not a number is refused while typing, except the empty text.
class CIntValidator : public QValidator {
    Q_OBJECT
public:
    CIntValidator(long min, long max, QObject* parent = nullptr);
    State validate(QString& input, int& pos) const override;

private:
    long iMin;
    long iMax;
};

// A host name or an IP address as a client would put it into an HTTP URL: nothing but the
// host (no port, path or user). Never Invalid, so typing is never refused.
class CURLValidator : public QValidator {
    Q_OBJECT
public:
    explicit CURLValidator(QObject* parent = nullptr);
    State validate(QString& input, int& pos) const override;
};
