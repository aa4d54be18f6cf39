#include "NeighbourCache.h"

#include "DottedIPv4.h"

#include <QProcess>
#include <QString>
#include <QStringList>

#include <cstdlib>

void ClearNeighbourEntry(const std::string& ipText)
{
    if (!IsDottedIPv4Host(ipText)) return;
    const QString ip = QString::fromLatin1(ipText.data(), static_cast<qsizetype>(ipText.size()));
    QProcess process;
    if (const char* replacement = std::getenv("FTPUPG_ARP_COMMAND"); replacement && *replacement) {
        process.setProgram(QString::fromLocal8Bit(replacement));
        process.setArguments({"-d", ip});
    } else {
        process.setProgram("ip");
        process.setArguments({"neigh", "flush", "to", ip});
    }
    // Nobody reads the outcome, so nothing of it should reach the operator's terminal.
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.startDetached();
}

bool IsDottedIPv4Host(std::string_view text)
{
    return text != "0.0.0.0" && text != "255.255.255.255" && ParseDottedIPv4(text).has_value();
}
