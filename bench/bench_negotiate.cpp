// Times whole checks (open, container test, release) through our provider, in one process:
//   bench_negotiate PATH USER FLAGS ROUNDS   (the password on standard input)
// prints the median in milliseconds. scripts/bench-negotiate.sh runs it beside minimal_gss_check.
#include "LdapDirectoryProvider.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace quorvane;

int main(int argc, char* argv[])
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: bench_negotiate PATH USER FLAGS ROUNDS (password on stdin)\n");
        return 2;
    }
    LdapDirectoryProvider::prepareProcess();
    QCoreApplication application(argc, argv);
    const QString path = QString::fromUtf8(argv[1]);
    const QString user = QString::fromUtf8(argv[2]);
    const qint32 flags = QString::fromUtf8(argv[3]).toInt(nullptr, 0);
    const int rounds = std::clamp(QString::fromUtf8(argv[4]).toInt(), 1, 10000);
    const QString password = QTextStream(stdin).readLine();
    LdapDirectoryProvider provider;
    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        try {
            provider.open(path, user, password, flags)->requireContainer();
        } catch (const std::exception& failure) {
            std::fprintf(stderr, "check failed: %s\n", failure.what());
            return 1;
        }
        times.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    std::printf("median of %d: %.2f ms\n", rounds, times[times.size() / 2]);
    return 0;
}
