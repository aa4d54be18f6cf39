#include "NeighbourCache.h"

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
    if (text == "0.0.0.0" || text == "255.255.255.255") return false;
    int parts = 0;
    std::size_t pos = 0;
    for (;;) {
        std::size_t digits = 0;
        unsigned value = 0;
        while (pos + digits < text.size() && digits < 4 && text[pos + digits] >= '0' &&
               text[pos + digits] <= '9') {
            value = value * 10 + static_cast<unsigned>(text[pos + digits] - '0');
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && text[pos] == '0')) return false;
        pos += digits;
        if (++parts == 4) return pos == text.size();
        if (pos >= text.size() || text[pos] != '.') return false;
        ++pos;
    }
}
