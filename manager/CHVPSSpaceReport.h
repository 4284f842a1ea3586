// The spaces of a repository and their disk use, as the Spaces panel shows them: read from the
// repository folder (space-db and the space folders) and, while the server runs, completed by
// its statistics command. Plain data and pure functions: safe from any thread.
#pragma once

#include <QList>
#include <QString>

struct CHVPSSpace {
    quint32 id = 0;
    QString title;      // empty when the repository stores no titles
    qint64 bytes = 0;   // bytes in the space's folder
    bool gone = false;  // the server reports the space deleted or unknown
};

struct CHVPSSpaceReport {
    QList<CHVPSSpace> spaces;  // ascending id
    qint64 totalBytes = 0;     // the repository's use: every space folder, deleted ones too
    qint64 limitBytes = -1;    // repository-size; -1 when unknown
    bool fromServer = false;   // totals and states come from the running server
    QString error;             // why the server could not be asked, or the folder not read

    // Reads space-db in folder and adds up the bytes of the files in each sub-folder (symbolic
    // links are not followed). A missing space-db gives no spaces and an error.
    static CHVPSSpaceReport readRepository(const QString& folder);
    // Takes the state, limit and total of each space from the table that "hvps-client stats"
    // prints; false when the text holds no such table.
    bool applyStatistics(const QString& clientOutput);
    // A repository-size value in bytes, read as the server reads it (a number and an optional
    // unit K, M, G, T or P of powers of 1024, optionally followed by B); -1 when it is not one.
    static qint64 parseSize(const QString& text);
    // The space ids as the statistics command takes them: "3,7,9".
    QString idList() const;
};
