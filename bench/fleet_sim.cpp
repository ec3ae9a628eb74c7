// A fleet of desktops against one message server, minute by minute over two office days: each
// desktop's timer, its log-ins, lunch suspends and log-outs, and the service's own gate and
// backoff (the same ServerBackoff the service runs, on a simulated clock and a seeded random
// source), against a server that is down for 1 h on the first day and for 6 h on the second.
// Runs the timer and service as they were before (a timer from log-in, no backoff) as the
// baseline, and prints both with the targets.
//
//   fleet_sim [--desktops N] [--seed S] [--csv FILE]

#include "common/server_backoff.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr qint64 kMinute = 60;
constexpr qint64 kHour = 3600;
constexpr qint64 kDay = 24 * kHour;
constexpr qint64 kPeriod = 2 * kHour;
constexpr qint64 kHorizon = 2 * kDay;
constexpr qint64 kBuckets = kHorizon / kMinute;

struct Outage
{
    qint64 from;
    qint64 to;
};
// Day 0 14:00 to 15:00, day 1 10:00 to 16:00.
const Outage kOutages[] = {{14 * kHour, 15 * kHour}, {kDay + 10 * kHour, kDay + 16 * kHour}};

bool serverDown(qint64 t)
{
    return std::any_of(std::begin(kOutages), std::end(kOutages),
                       [t](const Outage& o) { return t >= o.from && t < o.to; });
}

// A stretch in which the desktop is logged in and awake; `resumed` when it began with a
// resume from suspend rather than a log-in.
struct Awake
{
    qint64 from;
    qint64 to;
    bool resumed;
};

double uniform(QRandomGenerator& random, double from, double to)
{
    return from + random.generateDouble() * (to - from);
}

// An office day: most log in between 8:30 and 9:30 and leave between 17:00 and 19:00; some
// suspend over lunch; a fifth of the machines never log out.
std::vector<Awake> office(QRandomGenerator& random)
{
    if (random.generateDouble() < 0.2) {
        return {{0, kHorizon, false}};
    }
    std::vector<Awake> stretches;
    for (qint64 day = 0; day < kHorizon; day += kDay) {
        const double login =
            random.generateDouble() < 0.85 ? uniform(random, 8.5, 9.5) : uniform(random, 7.0, 12.0);
        const qint64 in = day + qint64(login * kHour);
        const qint64 out = day + qint64(uniform(random, 17.0, 19.0) * kHour);
        if (random.generateDouble() < 0.3) {
            const qint64 sleep = day + qint64(uniform(random, 12.0, 13.0) * kHour);
            const qint64 wake = sleep + qint64(uniform(random, 20, 70) * kMinute);
            if (in < sleep) {
                stretches.push_back({in, sleep, false});
                stretches.push_back({wake, out, true});
                continue;
            }
        }
        stretches.push_back({in, out, false});
    }
    return stretches;
}

struct Fleet
{
    std::vector<qint64> requests = std::vector<qint64>(kBuckets, 0);
    // Per outage: desktops that failed in it and stayed awake 3 h past its end, and of those
    // how many fetched again within the 3 h.
    qint64 failedAndAwake[2] = {0, 0};
    qint64 fetchedAgain[2] = {0, 0};
};

// Adds one desktop's requests; `fires` are the moments its timer starts a cycle.
template <typename Cycle>
void account(Fleet& fleet, const std::vector<Awake>& awake, const std::vector<qint64>& fires,
             Cycle&& cycle)
{
    bool failed[2] = {false, false};
    bool again[2] = {false, false};
    for (const qint64 t : fires) {
        if (!cycle(t)) {
            continue;
        }
        ++fleet.requests[t / kMinute];
        for (int i = 0; i < 2; ++i) {
            const Outage& o = kOutages[i];
            failed[i] |= t >= o.from && t < o.to;
            again[i] |= t >= o.to && t < o.to + 3 * kHour;
        }
    }
    for (int i = 0; i < 2; ++i) {
        const qint64 end = kOutages[i].to;
        const bool stays = std::any_of(awake.cbegin(), awake.cend(), [end](const Awake& a) {
            return a.from <= end && a.to >= end + 3 * kHour;
        });
        if (failed[i] && stays) {
            ++fleet.failedAndAwake[i];
            fleet.fetchedAgain[i] += again[i];
        }
    }
}

// As installed now: every two hours at a per-machine moment (OnCalendar with a fixed random
// delay); a moment passed in suspend fires once on resume; a log-in waits for the next one.
std::vector<qint64> calendarFires(const std::vector<Awake>& awake, qint64 offset)
{
    std::vector<qint64> fires;
    qint64 asleepSince = -1;
    for (const Awake& a : awake) {
        if (a.resumed) {
            const qint64 slot = ((a.from - offset) / kPeriod) * kPeriod + offset;
            if (slot >= asleepSince && slot < a.from) {
                fires.push_back(a.from);
            }
        }
        for (qint64 slot = ((a.from - offset + kPeriod - 1) / kPeriod) * kPeriod + offset;
             slot < a.to; slot += kPeriod) {
            fires.push_back(slot);
        }
        asleepSince = a.to;
    }
    return fires;
}

// As installed before: 5 min after log-in, then 2 h after each run, each delayed by up to
// 15 min afresh; the monotonic clock stands still in suspend.
std::vector<qint64> monotonicFires(const std::vector<Awake>& awake, QRandomGenerator& random)
{
    std::vector<qint64> fires;
    qint64 pending = 0;
    for (const Awake& a : awake) {
        qint64 next = a.resumed ? a.from + pending
                                : a.from + 5 * kMinute + qint64(uniform(random, 0, 15 * kMinute));
        while (next < a.to) {
            fires.push_back(next);
            next += kPeriod + qint64(uniform(random, 0, 15 * kMinute));
        }
        pending = next - a.to;
    }
    return fires;
}

Fleet simulate(int desktops, quint32 seed, bool baseline)
{
    QRandomGenerator random(seed);
    Fleet fleet;
    for (int d = 0; d < desktops; ++d) {
        const std::vector<Awake> awake = office(random);
        if (baseline) {
            account(fleet, awake, monotonicFires(awake, random), [](qint64) { return true; });
            continue;
        }
        const qint64 offset = qint64(random.bounded(double(kPeriod)));
        ServerBackoff backoff;
        account(fleet, awake, calendarFires(awake, offset), [&](qint64 t) {
            const qint64 ms = t * 1000;
            if (!backoff.allows(ms)) {
                return false;
            }
            backoff.record(serverDown(t) ? 503 : 200, std::nullopt, ms, random);
            return true;
        });
    }
    return fleet;
}

// The highest one-minute rate in [from, to) against the steady rate.
double peak(const Fleet& fleet, qint64 from, qint64 to, double steady)
{
    qint64 most = 0;
    for (qint64 b = from / kMinute; b < to / kMinute; ++b) {
        most = std::max(most, fleet.requests[b]);
    }
    return double(most) / steady;
}

QString clock(qint64 t)
{
    return QStringLiteral("day %1 %2:%3")
        .arg(t / kDay)
        .arg((t % kDay) / kHour, 2, 10, QChar(u'0'))
        .arg((t % kHour) / kMinute, 2, 10, QChar(u'0'));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption desktopsOption(QStringLiteral("desktops"),
                                            QStringLiteral("Desktops (100000)."),
                                            QStringLiteral("n"), QStringLiteral("100000"));
    const QCommandLineOption seedOption(QStringLiteral("seed"), QStringLiteral("Seed (2026)."),
                                        QStringLiteral("s"), QStringLiteral("2026"));
    const QCommandLineOption csvOption(QStringLiteral("csv"),
                                       QStringLiteral("Every one-minute bucket to this file."),
                                       QStringLiteral("file"), QStringLiteral("fleet_sim.csv"));
    parser.addOptions({desktopsOption, seedOption, csvOption});
    parser.process(app);
    const int desktops = qMax(1, parser.value(desktopsOption).toInt());
    const quint32 seed = parser.value(seedOption).toUInt();

    const Fleet before = simulate(desktops, seed, true);
    const Fleet now = simulate(desktops, seed, false);
    // Every desktop awake, each asking once per period.
    const double steady = double(desktops) / (kPeriod / kMinute);

    QFile csv(parser.value(csvOption));
    if (csv.open(QIODevice::WriteOnly)) {
        csv.write("minute,time,baseline,new,steady\n");
        for (qint64 b = 0; b < kBuckets; ++b) {
            csv.write(QStringLiteral("%1,%2,%3,%4,%5\n")
                          .arg(b)
                          .arg(clock(b * kMinute))
                          .arg(before.requests[b])
                          .arg(now.requests[b])
                          .arg(steady, 0, 'f', 1)
                          .toUtf8());
        }
    }

    std::printf("fleet_sim: %d desktops, seed %u, steady rate %.1f requests a minute\n", desktops,
                seed, steady);
    std::printf("one-minute buckets (requests against the steady rate), around the morning log-in "
                "and the recoveries; all of them in %s\n",
                qPrintable(csv.fileName()));
    std::printf("%-12s  %8s  %8s\n", "minute", "baseline", "new");
    for (const auto& [from, to] :
         {std::pair{8 * kHour, 10 * kHour + 30 * kMinute},
          std::pair{15 * kHour, 15 * kHour + 30 * kMinute},
          std::pair{kDay + 16 * kHour, kDay + 16 * kHour + 30 * kMinute}}) {
        for (qint64 t = from; t < to; t += kMinute) {
            std::printf("%-12s  %8.2f  %8.2f\n", qPrintable(clock(t)),
                        double(before.requests[t / kMinute]) / steady,
                        double(now.requests[t / kMinute]) / steady);
        }
    }

    struct Row
    {
        const char* what;
        double baseline;
        double now;
        const char* target;
        bool met;
    };
    const auto within3h = [](const Fleet& fleet, int i) {
        return fleet.failedAndAwake[i] == 0
                   ? 1.0
                   : double(fleet.fetchedAgain[i]) / double(fleet.failedAndAwake[i]);
    };
    const Outage short_ = kOutages[0];
    const Outage long_ = kOutages[1];
    const double morningBefore = peak(before, 7 * kHour, 12 * kHour, steady);
    const double morningNow = peak(now, 7 * kHour, 12 * kHour, steady);
    const Row rows[] = {
        {"morning log-in peak (day 0, 7:00-12:00)", morningBefore, morningNow, "<= 1.50",
         morningNow <= 1.5},
        {"peak in the hour after a 1 h outage", peak(before, short_.to, short_.to + kHour, steady),
         peak(now, short_.to, short_.to + kHour, steady), "<= 1.25",
         peak(now, short_.to, short_.to + kHour, steady) <= 1.25},
        {"  two hours later", peak(before, short_.to + 2 * kHour, short_.to + 3 * kHour, steady),
         peak(now, short_.to + 2 * kHour, short_.to + 3 * kHour, steady), "<= 1.25",
         peak(now, short_.to + 2 * kHour, short_.to + 3 * kHour, steady) <= 1.25},
        {"peak in the hour after a 6 h outage", peak(before, long_.to, long_.to + kHour, steady),
         peak(now, long_.to, long_.to + kHour, steady), "", true},
        {"  two hours later", peak(before, long_.to + 2 * kHour, long_.to + 3 * kHour, steady),
         peak(now, long_.to + 2 * kHour, long_.to + 3 * kHour, steady), "", true},
        {"fetched again within 3 h of a 1 h outage", within3h(before, 0), within3h(now, 0),
         ">= 0.90", within3h(now, 0) >= 0.9},
        {"fetched again within 3 h of a 6 h outage", within3h(before, 1), within3h(now, 1),
         ">= 0.90", within3h(now, 1) >= 0.9},
    };
    std::printf("\n%-44s  %8s  %8s  %-7s\n", "", "baseline", "new", "target");
    bool met = true;
    for (const Row& row : rows) {
        std::printf("%-44s  %8.2f  %8.2f  %-7s %s\n", row.what, row.baseline, row.now, row.target,
                    row.target[0] ? (row.met ? "met" : "MISSED") : "");
        met &= row.met;
    }
    return met ? 0 : 1;
}
