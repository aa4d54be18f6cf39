#include "NeighbourCache.h"

#include <QProcess>
#include <QString>
#include <QStringList>

#include <cstdlib>

void ClearNeighbourEntry(const std::string& ipText)
{
    const QString ip = QString::fromLocal8Bit(ipText.c_str());
    QProcess process;
    if (const char* replacement = std::getenv("FTPUPG_ARP_COMMAND"); replacement && *replacement) {
        process.setProgram(QString::fromLocal8Bit(replacement));
        process.setArguments({"-d", ip});
    } else {
        // "to" keeps an IP text that starts with '-' from being read as an option.
        process.setProgram("ip");
        process.setArguments({"neigh", "flush", "to", ip});
    }
    // Nobody reads the outcome, so nothing of it should reach the operator's terminal.
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.startDetached();
}
