#include "bench/bench_table.h"

#include <QFile>
#include <QList>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <thread>

#include <sys/utsname.h>

namespace velmora_bench {

namespace {

std::string cpuModel()
{
    QFile cpuinfo(QStringLiteral("/proc/cpuinfo"));
    if (cpuinfo.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : cpuinfo.readAll().split('\n')) {
            if (line.startsWith("model name"))
                return line.mid(line.indexOf(':') + 1).trimmed().toStdString();
        }
    }
    return "unknown CPU";
}

std::string kernel()
{
    utsname name{};
    if (::uname(&name) != 0)
        return "unknown kernel";
    return std::string(name.sysname) + ' ' + name.release + ' ' + name.machine;
}

std::string loadAverage()
{
    QFile load(QStringLiteral("/proc/loadavg"));
    if (!load.open(QIODevice::ReadOnly))
        return "unknown";
    const QList<QByteArray> fields = load.readAll().split(' ');
    return fields.mid(0, 3).join(' ').toStdString();
}

} // namespace

qint64 NowMicros()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

double ResidentMiB(pid_t pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        throw Failure("cannot read the memory of process " + std::to_string(pid));
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    throw Failure("no VmRSS for process " + std::to_string(pid));
}

double Series::median() const
{
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();
    return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

double Series::worst() const
{
    return *std::max_element(values.begin(), values.end());
}

std::string Format(const char *pattern, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string MachineLine(const char *buildType)
{
    return cpuModel() + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores, " + kernel()
        + "; Qt " + qVersion() + "; build type " + (buildType[0] ? buildType : "none set") + "; load average "
        + loadAverage();
}

void Table::add(const std::string &what, const Series &samples, const char *figure, const std::string &target,
                std::optional<bool> met)
{
    m_rows.push_back({what, samples.values.size(), Format(figure, samples.median()), Format(figure, samples.worst()),
                      target, met ? (*met ? "yes" : "NO") : "-"});
    if (met)
        m_allMet = m_allMet && *met;
}

void Table::addFigure(const std::string &what, std::size_t runs, const std::string &figure)
{
    m_rows.push_back({what, runs, figure, "", "", "-"});
}

void Table::print() const
{
    const std::array<const char *, 6> heads = {"measure", "runs", "median", "worst", "target", "met"};
    std::array<std::size_t, 6> widths{};
    for (std::size_t c = 0; c < heads.size(); ++c)
        widths[c] = std::strlen(heads[c]);
    const auto cells = [](const Row &row) {
        return std::array<std::string, 6>{row.what, std::to_string(row.runs), row.median, row.worst, row.target,
                                          row.met};
    };
    for (const Row &row : m_rows) {
        const auto text = cells(row);
        for (std::size_t c = 0; c < text.size(); ++c)
            widths[c] = std::max(widths[c], text[c].size());
    }
    const auto print = [&widths](const std::array<std::string, 6> &text) {
        std::string line;
        for (std::size_t c = 0; c < text.size(); ++c) {
            std::string cell = text[c];
            // Names left, figures right.
            const std::string pad(widths[c] - cell.size(), ' ');
            line += c == 0 || c >= 4 ? cell + pad : pad + cell;
            if (c + 1 < text.size())
                line += "  ";
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        std::printf("%s\n", line.c_str());
    };
    print({heads[0], heads[1], heads[2], heads[3], heads[4], heads[5]});
    std::size_t total = 0;
    for (std::size_t width : widths)
        total += width + 2;
    std::printf("%s\n", std::string(total - 2, '-').c_str());
    for (const Row &row : m_rows)
        print(cells(row));
}

} // namespace velmora_bench
