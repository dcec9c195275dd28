// What the scanner costs, each figure beside a plain line walk over the same bytes: parsing a
// large listing, an unchanged listing, rebuilding the menu, and the memory of a long run.
#include "BenchDelegate.h"
#include "LsofParser.h"
#include "LsofTask.h"

#include <QApplication>
#include <QBuffer>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <unistd.h>

static QByteArray listing(int processes, int salt = 0)
{
    QByteArray out;
    for (int i = 0; i < processes; ++i) {
        const QByteArray pid = QByteArray::number(1000 + i);
        const QByteArray port = QByteArray::number(2000 + (i + salt) % 60000);
        out += "p" + pid + "\ncserver-process-" + pid + "\nn127.0.0.1:" + port +
               "\nn[::1]:" + port + "\n";
    }
    return out;
}

static QByteArray stream(int processes, int salt = 0)
{
    return listing(processes, salt) + "m\n";
}

static QByteArray unchangedListing()
{
    QByteArray bytes = stream(1);
    while (bytes.size() < 4096 - 64)
        bytes = stream(int(bytes.size() / 50 + 1));
    return bytes;
}

// The least any reader does: find every line and look at its first byte.
static std::size_t walkLines(const QByteArray &bytes)
{
    std::size_t names = 0;
    const char *p = bytes.constData();
    const char *end = p + bytes.size();
    while (p < end) {
        const char *eol = static_cast<const char *>(std::memchr(p, '\n', std::size_t(end - p)));
        names += *p == 'n';
        p = eol ? eol + 1 : end;
    }
    return names;
}

// What the event loop does between two reads: delete what a rebuild dropped, then let the
// posted-event list shrink, which only a pass over all events does.
static void settle()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::sendPostedEvents();
}

static qint64 rssKb()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    return statm.readAll().split(' ').value(1).toLongLong() * sysconf(_SC_PAGESIZE) / 1024;
}

// The walk over each benchmark's bytes, registered under "walk/" + the benchmark's name.
static void registerWalk(const std::string &name, QByteArray bytes)
{
    benchmark::RegisterBenchmark(("walk/" + name).c_str(), [bytes](benchmark::State &state) {
        for (auto _ : state)
            benchmark::DoNotOptimize(walkLines(bytes));
        state.SetBytesProcessed(state.iterations() * bytes.size());
    });
}

static void BM_Parse(benchmark::State &state)
{
    const QByteArray bytes = listing(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(parseListeningProcesses(bytes));
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * bytes.size());
}
BENCHMARK(BM_Parse)->Arg(10000);

// One read of a listing equal to the last one applied: frame, compare, no rebuild.
static void BM_UnchangedListing(benchmark::State &state)
{
    AppDelegate d;
    launch(d);
    const QByteArray bytes = unchangedListing();
    feed(d, bytes);
    for (auto _ : state)
        feed(d, bytes);
    state.SetBytesProcessed(state.iterations() * bytes.size());
}
BENCHMARK(BM_UnchangedListing);

// A rebuild that has to make every submenu anew, as the first listing does.
static void BM_FirstBuild(benchmark::State &state)
{
    const QByteArray a = stream(int(state.range(0)), 0);
    for (auto _ : state) {
        state.PauseTiming();
        auto d = std::make_unique<AppDelegate>();
        launch(*d);
        state.ResumeTiming();
        feed(*d, a);
        state.PauseTiming();
        d.reset();
        settle();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FirstBuild)->Arg(1000)->Unit(benchmark::kMicrosecond);

static void BM_Rebuild(benchmark::State &state)
{
    AppDelegate d;
    launch(d);
    const QByteArray a = stream(int(state.range(0)), 0);
    const QByteArray b = stream(int(state.range(0)), 1);
    bool flip = false;
    for (auto _ : state) {
        feed(d, flip ? a : b);
        flip = !flip;
        state.PauseTiming();
        settle();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * a.size());
}
BENCHMARK(BM_Rebuild)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

// The soak's listings, 10 and 12 entries in turn, so that submenus are made and deleted on
// every rebuild. Resident memory after the first thousand and at the end.
static constexpr int soakListings = 100000;

static void BM_SoakMemory(benchmark::State &state)
{
    const QByteArray a = stream(10, 0);
    const QByteArray b = stream(12, 7);
    for (auto _ : state) {
        AppDelegate d;
        launch(d);
        qint64 first = 0;
        for (int i = 0; i < soakListings; ++i) {
            if (i == 1000)
                first = rssKb();
            feed(d, i % 2 ? b : a);
            settle();
        }
        state.counters["rss_first_kB"] = double(first);
        state.counters["rss_last_kB"] = double(rssKb());
    }
    state.SetBytesProcessed(state.iterations() * (a.size() + b.size()) * soakListings / 2);
}
BENCHMARK(BM_SoakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

static void walkSoak(benchmark::State &state)
{
    const QByteArray a = stream(10, 0);
    const QByteArray b = stream(12, 7);
    for (auto _ : state) {
        const qint64 before = rssKb();
        for (int i = 0; i < soakListings; ++i)
            benchmark::DoNotOptimize(walkLines(i % 2 ? b : a));
        state.counters["rss_growth_kB"] = double(rssKb() - before);
    }
    state.SetBytesProcessed(state.iterations() * (a.size() + b.size()) * soakListings / 2);
}

// Keeps every run for the table printed at the end.
class FigureReporter : public benchmark::ConsoleReporter {
public:
    FigureReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &reports) override
    {
        for (const Run &run : reports)
            runs.insert_or_assign(run.benchmark_name(), run);
        ConsoleReporter::ReportRuns(reports);
    }

    // Wall time of one iteration, in nanoseconds.
    double ns(const std::string &name) const
    {
        const auto it = runs.find(name);
        if (it == runs.end() || it->second.iterations == 0)
            return 0;
        return it->second.real_accumulated_time * 1e9 / double(it->second.iterations);
    }

    double counter(const std::string &name, const std::string &key) const
    {
        const auto it = runs.find(name);
        if (it == runs.end())
            return 0;
        const auto c = it->second.counters.find(key);
        return c == it->second.counters.end() ? 0 : double(c->second);
    }

    std::map<std::string, Run> runs;
};

static void printFigure(const FigureReporter &r, const char *figure, const std::string &name,
                        double per, const char *unit)
{
    const double ours = r.ns(name) / per;
    const double walk = r.ns("walk/" + name) / per;
    std::printf("%-34s %12.1f %-10s %12.2f %-10s %8.1fx\n", figure, ours, unit, walk, unit,
                walk > 0 ? ours / walk : 0);
}

int main(int argc, char **argv)
{
    QTemporaryDir config;
    useQuietEnvironment(config);
    QApplication app(argc, argv);

    const QByteArray parsed = listing(10000);
    registerWalk("BM_Parse/10000", parsed);
    registerWalk("BM_UnchangedListing", unchangedListing());
    for (const int n : {10, 100, 1000})
        registerWalk("BM_Rebuild/" + std::to_string(n), stream(n));
    benchmark::RegisterBenchmark("walk/BM_SoakMemory", walkSoak)->Iterations(1);

    benchmark::Initialize(&argc, argv);
    FigureReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const double mb = double(parsed.size()) / 1e6;
    std::printf("\n%-34s %23s %23s %9s\n", "figure", "ambrel", "plain line walk", "ratio");
    printFigure(reporter, "parse 10,000 records", "BM_Parse/10000", 10000, "ns/record");
    std::printf("%-34s %12.1f %-10s %12.1f %-10s\n", "  the same as throughput",
                reporter.counter("BM_Parse/10000", "bytes_per_second") / 1e6, "MB/s",
                reporter.counter("walk/BM_Parse/10000", "bytes_per_second") / 1e6, "MB/s");
    std::printf("%-34s %12.2f MB\n", "  listing size", mb);
    printFigure(reporter, "unchanged 4 KB listing", "BM_UnchangedListing", 1000, "us");
    for (const int n : {10, 100, 1000}) {
        const std::string figure = "rebuild of " + std::to_string(n) + " entries";
        printFigure(reporter, figure.c_str(), "BM_Rebuild/" + std::to_string(n), 1000, "us");
    }
    const std::string soak = "BM_SoakMemory/iterations:1";
    printFigure(reporter, "100,000 alternating listings", soak, 1e9, "s");
    const double first = reporter.counter(soak, "rss_first_kB");
    const double last = reporter.counter(soak, "rss_last_kB");
    std::printf("%-34s %12.0f kB -> %.0f kB (%+.0f kB)   walk %+.0f kB\n",
                "  resident memory, 1,000th -> end", first, last, last - first,
                reporter.counter("walk/" + soak, "rss_growth_kB"));
    return 0;
}
