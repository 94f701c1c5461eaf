#pragma once

#include <QtGlobal>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/types.h>

// What every measurement of the benchmark shares: the clock, the samples, the
// table they end in and the machine it describes.
namespace velmora_bench {

using Clock = std::chrono::steady_clock;

// A measurement that could not be made.
struct Failure : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

// The monotonic clock in microseconds, as tarvex-sim's --timestamps print it.
qint64 NowMicros();
// The resident memory of a process.
double ResidentMiB(pid_t pid);

struct Series
{
    std::vector<double> values;

    void add(double value) { values.push_back(value); }
    double median() const;
    double worst() const;
};

// The table that the benchmark prints: a row per measure, each against its
// target, and whether every target was met.
class Table
{
public:
    // A row of samples shown with `figure` ("%.1f ms"): `met` tells whether
    // they met `target`; a row without a verdict only reports.
    void add(const std::string &what, const Series &samples, const char *figure,
             const std::string &target = std::string(), std::optional<bool> met = std::nullopt);
    // A row of one figure, worked out from other rows.
    void addFigure(const std::string &what, std::size_t runs, const std::string &figure);
    // A target that could not be measured counts as missed.
    void missed() { m_allMet = false; }

    bool allMet() const { return m_allMet; }
    void print() const;

private:
    struct Row
    {
        std::string what;
        std::size_t runs = 0;
        std::string median;
        std::string worst;
        std::string target;
        std::string met; // "yes", "NO", or "-" for a row without a target
    };

    std::vector<Row> m_rows;
    bool m_allMet = true;
};

std::string Format(const char *pattern, double value);
// One line: the processor, its cores, the kernel, Qt and the load.
std::string MachineLine(const char *buildType);

} // namespace velmora_bench
