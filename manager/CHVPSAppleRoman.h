// Conversion between text and the Apple Roman single-byte encoding in which the configuration
// file is written. Pure functions, safe from any thread.
#pragma once

#include <QByteArray>
#include <QString>

// Encodes text; returns false when a character has no byte in Apple Roman (nothing is
// replaced silently), in which case out is unspecified.
bool hvpsEncodeAppleRoman(const QString& text, QByteArray& out);

QString hvpsDecodeAppleRoman(const QByteArray& bytes);

// Decodes a file as UTF-8 when it is valid UTF-8, else as Apple Roman, so that files written
// by the dialog and files edited by hand both read back without loss.
QString hvpsDecodeConfigText(const QByteArray& bytes);
