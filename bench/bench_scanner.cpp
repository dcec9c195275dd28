// What the scanner costs: parsing a large listing beside a plain walk over the same bytes,
// an unchanged listing, and rebuilding the menu.
#include "FedDelegate.h"
#include "LsofParser.h"
#include "LsofTask.h"

#include <QApplication>
#include <QBuffer>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstring>

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

// The least any reader does: find every line and look at its first byte.
static void BM_PlainLineWalk(benchmark::State &state)
{
    const QByteArray bytes = listing(int(state.range(0)));
    for (auto _ : state) {
        std::size_t names = 0;
        const char *p = bytes.constData();
        const char *end = p + bytes.size();
        while (p < end) {
            const char *eol = static_cast<const char *>(std::memchr(p, '\n', std::size_t(end - p)));
            names += *p == 'n';
            p = eol ? eol + 1 : end;
        }
        benchmark::DoNotOptimize(names);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * bytes.size());
}
BENCHMARK(BM_PlainLineWalk)->Arg(10000);

// The same walk done the library's way: decode to text and cut it into lines.
static void BM_DecodeAndSplit(benchmark::State &state)
{
    const QByteArray bytes = listing(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(splitLsofChunk(bytes));
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * bytes.size());
}
BENCHMARK(BM_DecodeAndSplit)->Arg(10000);

static void BM_SplitAndParse(benchmark::State &state)
{
    const QByteArray bytes = listing(int(state.range(0)));
    for (auto _ : state) {
        const auto lines = splitLsofChunk(bytes);
        benchmark::DoNotOptimize(parseListeningProcesses(*lines));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * bytes.size());
    state.counters["bytes"] = double(bytes.size());
}
BENCHMARK(BM_SplitAndParse)->Arg(10000);

// One read of a listing equal to the last one applied: frame, decode, split, compare.
static void BM_UnchangedListing(benchmark::State &state)
{
    AppDelegate d;
    launch(d);
    QByteArray bytes = stream(1);
    while (bytes.size() < 4096 - 64)
        bytes = stream(int(bytes.size() / 50 + 1));
    feed(d, bytes);
    for (auto _ : state)
        feed(d, bytes);
    state.counters["bytes"] = double(bytes.size());
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
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
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
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Rebuild)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("AMBREL_UPDATE_ORIGIN", "http://127.0.0.1:9");
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
