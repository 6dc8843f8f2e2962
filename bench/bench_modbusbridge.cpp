// Cost of turning one Core section into the "setconfig" document, for maps of
// growing size: lookup and conversion of the items (CheckTableToUpdate), the
// register words of the touched tables (ComputeRawData) and the compact JSON
// (GenerateDbusUpdateQuery). The baseline, measured in the same run, is the
// JSON step alone on the same raw data, so the growth of the rest shows.
//
// Usage: bench_modbusbridge [items per section, default 200]
#include "modbusinterface.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

using Tessal::ModbusInterface;

namespace
{

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

const char* const kTypes[] = {"bool", "u16", "s16", "u32", "s32", "float"};

// A map of n registers in n / 50 tables of 50 registers each: one class, one
// field per 256 registers, the instance index running within the field.
QJsonObject makeMap(int n)
{
    QJsonObject fields;
    for (int f = 0; f <= n / 256; ++f)
        fields.insert(QString("f%1").arg(f), f + 1);
    QJsonObject types;
    for (int t = 0; t < 6; ++t)
        types.insert(kTypes[t], t + 1);
    QJsonArray registers;
    for (int id = 1; id <= n; ++id) {
        const char* type = kTypes[id % 6];
        registers.append(QJsonObject{{"id", id},
                                     {"name", QString("r%1").arg(id)},
                                     {"mb_type", type},
                                     {"ci_class", "C"},
                                     {"ci_field", QString("f%1").arg((id - 1) / 256)},
                                     {"ci_index", (id - 1) % 256},
                                     {"ci_type", type}});
    }
    QJsonArray tables;
    for (int t = 0; t < n / 50; ++t) {
        QJsonArray layout;
        for (int i = 1; i <= 50; ++i)
            layout.append(t * 50 + i);
        tables.append(QJsonObject{{"name", QString("t%1").arg(t)},
                                  {"mode", "r"},
                                  {"address", t * 100},
                                  {"registers", layout}});
    }
    return QJsonObject{
        {"ci",
         QJsonObject{{"types", types},
                     {"classes", QJsonObject{{"C", QJsonObject{{"id", 1}, {"fields", fields}}}}}}},
        {"registers", registers},
        {"tables", tables}};
}

// count items for random registers of the map (fixed seed), 2 or 4 bytes.
std::vector<tup::core_tmp> makeSection(int n, int count)
{
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> pick(1, n);
    std::vector<tup::core_tmp> items;
    for (int i = 0; i < count; ++i) {
        const int id = pick(rng);
        tup::core_tmp it;
        it.ci_class = 1;
        it.ci_field = static_cast<uint16_t>((id - 1) / 256 + 1);
        it.instance = static_cast<uint8_t>((id - 1) % 256);
        it.ci_type = static_cast<uint8_t>(id % 6 + 1);
        const int len = (id % 6 >= 3) ? 4 : 2;
        for (int b = 0; b < len; ++b)
            it.baData.push_back(static_cast<uint8_t>(rng()));
        it.datalen = static_cast<uint16_t>(len);
        items.push_back(it);
    }
    return items;
}

double medianMicros(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int itemCount = argc > 1 ? std::max(1, atoi(argv[1])) : 200;
    QTemporaryDir dir;
    std::printf("Core section of %d items -> setconfig document (median of runs, microseconds)\n",
                itemCount);
    std::printf("%10s %7s %7s %9s %10s %10s %10s %8s\n", "registers", "tables", "touched",
                "doc bytes", "full", "json only", "rest", "full/100");
    double full100 = 0;
    for (int n : {100, 1000, 10000}) {
        const QString path = dir.path() + QString("/map%1.json").arg(n);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        file.write(QJsonDocument(makeMap(n)).toJson(QJsonDocument::Compact));
        file.close();

        ModbusInterface mb;
        QtMessageHandler previous = qInstallMessageHandler(quiet);
        const bool loaded = mb.LoadConfig(path);
        qInstallMessageHandler(previous);
        if (!loaded || mb.registers().size() != n)
            return 1;

        const std::vector<tup::core_tmp> items = makeSection(n, itemCount);
        const int runs = n >= 10000 ? 200 : 1000;
        std::vector<double> full, json;
        QVector<int> tables;
        QString doc;
        QElapsedTimer t;
        for (int r = 0; r < runs; ++r) {
            t.start();
            tables = mb.CheckTableToUpdate(items);
            const QVector<Tessal::MbRawData_s> raw = mb.ComputeRawData(tables);
            doc = mb.GenerateDbusUpdateQuery(raw);
            full.push_back(t.nsecsElapsed() / 1000.0);
            t.start();
            const QString again = mb.GenerateDbusUpdateQuery(raw);
            json.push_back(t.nsecsElapsed() / 1000.0);
            if (again.size() != doc.size())
                return 1;
        }
        const double f = medianMicros(full), j = medianMicros(json);
        if (n == 100)
            full100 = f;
        std::printf("%10d %7d %7d %9d %10.1f %10.1f %10.1f %8.2f\n", n, int(mb.tables().size()),
                    int(tables.size()), int(doc.toUtf8().size()), f, j, f - j, f / full100);
    }
    return 0;
}
