#include "fuzz/FuzzEntries.h"

#include "primary/Reading.h"
#include "primary/ReadingsFile.h"
#include "secondary/Numbers.h"
#include "secondary/Pressure.h"
#include "serial/Cp1252.h"
#include "serial/LineAssembler.h"

#include <QByteArrayView>
#include <QFile>
#include <QLocale>
#include <QString>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fuzzentry {

namespace {

[[noreturn]] void fail(const char *target, const std::string &what)
{
    std::fprintf(stderr, "[%s] rule broken: %s\n", target, what.c_str());
    std::fflush(stderr);
    std::abort();
}

#define CHECK(target, cond, what)                                                                  \
    do {                                                                                           \
        if (!(cond)) fail(target, std::string(#cond) + " -- " + (what));                           \
    } while (0)

std::string shown(QStringView s)
{
    std::string out;
    for (const QChar c : s.first(std::min<qsizetype>(s.size(), 200))) {
        const char16_t u = c.unicode();
        if (u >= 0x20 && u < 0x7F) {
            out.push_back(char(u));
        } else {
            char buf[12];
            std::snprintf(buf, sizeof buf, "\\u%04X", unsigned(u));
            out += buf;
        }
    }
    if (s.size() > 200) out += "...";
    return out;
}

// Piece sizes as a small deterministic generator started from the input.
struct Pieces {
    uint32_t state;
    uint32_t maxSize;
    size_t next()
    {
        state = state * 1664525u + 1013904223u;
        return 1 + (state >> 8) % maxSize;
    }
};

// Feeds `bytes` through `assembler` in pieces and hands every complete line to `onLine`,
// checking the assembler's own rules on the way.
template <typename OnLine>
void assemble(const char *target, serial::LineAssembler &assembler, qsizetype bound,
              QByteArrayView bytes, qsizetype lead, Pieces pieces, OnLine onLine)
{
    QString all;
    QString lines;
    qsizetype in = 0;
    qsizetype taken = 0;
    size_t at = 0;
    while (at < size_t(bytes.size())) {
        // The lead (a long run put in front) arrives in one piece.
        const size_t n =
            at < size_t(lead) ? size_t(lead) : std::min(pieces.next(), size_t(bytes.size()) - at);
        const QString text = serial::decodeCp1252(bytes.sliced(qsizetype(at), qsizetype(n)));
        CHECK(target, text.size() == qsizetype(n), "one character per byte");
        at += n;
        in += text.size();
        all += text;
        const bool report = assembler.append(text);
        CHECK(target, !report || assembler.droppedTotal() > 0, "a drop reported without one");
        QString line;
        while (assembler.takeLine(&line)) {
            CHECK(target, line.endsWith(QLatin1String("\r\n")), shown(line));
            CHECK(target, line.indexOf(QLatin1String("\r\n")) == line.size() - 2,
                  "a line holds one CR LF, at its end: " + shown(line));
            taken += line.size();
            lines += line;
            onLine(line);
        }
        CHECK(target, assembler.pendingSize() <= bound,
              "pending " + std::to_string(assembler.pendingSize()));
        CHECK(target, taken + assembler.pendingSize() + assembler.droppedTotal() == in,
              "characters neither delivered, kept nor dropped");
    }
    CHECK(target, !assembler.pending().contains(QLatin1String("\r\n")),
          "a complete line was left behind");
    if (assembler.droppedTotal() == 0)
        CHECK(target, lines + assembler.pending() == all, "text changed on its way");
}

const QString Stamp = QStringLiteral("3/14/2014 3:45:12 PM");

void checkReading(const QString &line)
{
    const char *T = "primary_lines";
    const std::optional<primary::Reading> r = primary::parseReading(line);
    if (!r) {
        CHECK(T, !line.contains(u':'), "a labelled line was not parsed");
        return;
    }
    CHECK(T, r->channelCount >= 0 && r->channelCount <= 9, std::to_string(r->channelCount));
    CHECK(T, r->typeNumber >= -9 && r->typeNumber <= 99, std::to_string(r->typeNumber));
    CHECK(T, r->channels.size() <= r->channelCount, "channels beyond the count");
    for (const primary::Channel &c : r->channels)
        CHECK(T, !c.value || std::isfinite(*c.value), shown(c.text));
    if (!r->recordable()) {
        CHECK(T, r->channels.isEmpty(), "channels without a sensor type");
        return;
    }
    CHECK(T, bool(r->sensorId), "a recordable reading has its id");
    const QString record = primary::recordLine(Stamp, *r, QString());
    CHECK(T, record.startsWith(Stamp + u',' + *r->sensorId + u','), shown(record));
    CHECK(T, record.endsWith(QLatin1String(",,psi")), shown(record));
    CHECK(T, !record.contains(QLatin1String("\r\n")), "record split: " + shown(record));
    // Every byte the instrument sent reaches the file unchanged.
    bool ok = true;
    const QByteArray bytes = serial::encodeCp1252(record, &ok);
    CHECK(T, ok, "record not encodable: " + shown(record));
    CHECK(T, serial::decodeCp1252(bytes) == record, "record bytes changed");
}

bool close(double a, double b)
{
    if (a == b) return true;
    if (std::isinf(a) || std::isinf(b)) return false;
    return std::fabs(a - b) <= 1e-13 * std::max(std::fabs(a), std::fabs(b)) + 1e-300;
}

// Text from bytes: the first byte picks Windows-1252, raw UTF-16 or UTF-8.
QString textFrom(const uint8_t *data, size_t size)
{
    if (size == 0) return {};
    const auto *rest = reinterpret_cast<const char *>(data + 1);
    const qsizetype n = qsizetype(size - 1);
    switch (data[0] % 3) {
    case 0:
        return serial::decodeCp1252(QByteArrayView(rest, n));
    case 1: {
        QString s(n / 2, Qt::Uninitialized);
        std::memcpy(s.data(), rest, size_t(n / 2) * 2);
        return s;
    }
    default:
        return QString::fromUtf8(rest, n);
    }
}

std::vector<std::string> entries(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = ::opendir(dir.c_str())) {
        while (dirent *e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(d);
    }
    return names;
}

bool mustRefuse(QStringView id)
{
    for (const QChar c : id) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u <= 0x9F)) return true;
        if (QStringView(u"/\\:*?\"<>|").contains(c)) return true;
    }
    QString base = id.toString();
    if (const qsizetype dot = base.indexOf(u'.'); dot >= 0) base.truncate(dot);
    while (base.endsWith(u' '))
        base.chop(1);
    base = base.toUpper();
    for (const char *name : {"CON", "PRN", "AUX", "NUL"})
        if (base == QLatin1String(name)) return true;
    if (base.size() == 4 &&
        (base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT"))))
        return base[3] >= u'1' && base[3] <= u'9';
    return false;
}

} // namespace

void primaryLines(const uint8_t *data, size_t size)
{
    if (size < 2) return;
    const qsizetype bound =
        data[0] & 0x80 ? serial::LineAssembler::DefaultBound : 16 + qsizetype(data[0]) * 16;
    serial::LineAssembler assembler(bound);
    Pieces pieces{data[1], 1u + (data[1] & 0x3F)};
    QByteArray bytes(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));
    // With the full bound, a long run in front puts the label's ":" beyond 16-bit reach.
    qsizetype lead = 0;
    if ((data[0] & 0xE0) == 0xE0) {
        lead = 32766 - (data[1] & 3);
        bytes.prepend(QByteArray(lead, 'x'));
    }
    assemble("primary_lines", assembler, bound, bytes, lead, pieces, checkReading);
}

void secondaryPoll(const uint8_t *data, size_t size)
{
    const char *T = "secondary_poll";
    if (size < 2) return;
    const size_t zeroLength = std::min<size_t>(data[0] % 16, size - 2);
    const QString zero = serial::decodeCp1252(
        QByteArrayView(reinterpret_cast<const char *>(data + 2), qsizetype(zeroLength)));
    const qsizetype bound =
        data[1] & 0x80 ? serial::LineAssembler::DefaultBound : 32 + qsizetype(data[1]) * 8;
    serial::LineAssembler assembler(bound);
    // A polling pass takes at most 1024 bytes.
    Pieces pieces{data[1], data[1] & 1 ? 1024u : 1u + (data[1] & 0x1F)};
    static const QLocale comma(QLocale::German, QLocale::Germany);
    const double zeroValue = secondary::leadingNumber(zero);
    CHECK(T, !std::isnan(zeroValue), shown(zero));
    QByteArray bytes(reinterpret_cast<const char *>(data + 2 + zeroLength),
                     qsizetype(size - 2 - zeroLength));
    // With the full bound, a long run in front puts the label's ":" beyond 16-bit reach.
    qsizetype lead = 0;
    if ((data[1] & 0xE0) == 0xE0) {
        lead = 32766 - (data[0] >> 6);
        bytes.prepend(QByteArray(lead, 'x'));
    }
    assemble(T, assembler, bound, bytes, lead, pieces, [&](const QString &line) {
        QString message = line;
        const secondary::PressureUpdate u = secondary::SmallStream(message, zero, QLocale::c());
        QString again = line;
        const secondary::PressureUpdate v = secondary::SmallStream(again, zero, comma);
        CHECK(T, message == again && u.rawPressure == v.rawPressure, shown(line));
        if (!u.labelled) {
            CHECK(T, !u.rawPressure && !u.pressureText && message == line, shown(line));
            return;
        }
        CHECK(T, line.endsWith(message), "only the label is stripped");
        if (!u.rawPressure) {
            CHECK(T, !u.pressureText && message.isEmpty(), shown(line));
            return;
        }
        CHECK(T, !u.rawPressure->contains(u','), shown(*u.rawPressure));
        CHECK(T, message.startsWith(*u.rawPressure), "raw pressure is the first field");
        const double expected = secondary::leadingNumber(*u.rawPressure) - zeroValue;
        CHECK(T,
              bool(u.pressureText) ==
                  (std::isfinite(expected) && secondary::hasLeadingNumber(*u.rawPressure)),
              shown(line));
        CHECK(T, u.notComputable == !u.pressureText && u.recordText == u.pressureText, shown(line));
        CHECK(T, v.notComputable == !v.pressureText && bool(v.recordText) == bool(v.pressureText),
              shown(line));
        // Under the comma locale a typed zero reads "," as a decimal point too.
        if (zero.contains(u',')) return;
        if (!u.pressureText) {
            CHECK(T, !v.pressureText, shown(line));
            return;
        }
        CHECK(T, !u.pressureText->isEmpty(), shown(line));
        const double shownValue = secondary::leadingNumber(*u.pressureText);
        CHECK(T, close(shownValue, expected) || std::fabs(expected) > 1.7976931348623e308,
              shown(*u.pressureText) + " for " + shown(line));
        QString local = *u.pressureText;
        local.replace(u'.', u',');
        CHECK(T, v.pressureText && *v.pressureText == local,
              "locale form " + shown(v.pressureText.value_or(QString())));
        CHECK(T, v.recordText == u.recordText, "record form " + shown(line));
    });
}

void numbers(const uint8_t *data, size_t size)
{
    const char *T = "numbers";
    const QString text = textFrom(data, size);
    const double v = secondary::leadingNumber(text);
    CHECK(T, !std::isnan(v), shown(text));
    // No number gives 0; text without a digit has no number.
    bool digit = false;
    for (const QChar c : text)
        digit = digit || (c >= u'0' && c <= u'9') || (c.toUpper() >= u'A' && c.toUpper() <= u'F');
    if (!digit) CHECK(T, v == 0, shown(text));

    std::vector<double> values{v};
    if (size >= 8) {
        double d;
        std::memcpy(&d, data + size - 8, sizeof d);
        values.push_back(d);
    }
    static const QLocale comma(QLocale::German, QLocale::Germany);
    for (const double x : values) {
        if (!std::isfinite(x)) {
            CHECK(T, secondary::numberText(x, QLocale::c()).isEmpty(), "not finite has no text");
            continue;
        }
        const QString s = secondary::numberText(x, QLocale::c());
        CHECK(T, !s.isEmpty() && s.size() <= 24, shown(s));
        for (const QChar c : s)
            CHECK(T, (c >= u'0' && c <= u'9') || QStringView(u"-.E+").contains(c), shown(s));
        CHECK(T, !s.contains(u'.') || !s.section(u'E', 0, 0).endsWith(u'0'),
              "trailing zero: " + shown(s));
        CHECK(T, !s.startsWith(u'.') && !s.startsWith(QLatin1String("-.")), shown(s));
        const double back = secondary::leadingNumber(s);
        CHECK(T, close(back, x == 0 ? 0.0 : x) || std::fabs(x) > 1.7976931348623e308, shown(s));
        QString local = s;
        local.replace(u'.', u',');
        CHECK(T, secondary::numberText(x, comma) == local, shown(s));
    }
}

void identifier(const uint8_t *data, size_t size)
{
    const char *T = "identifier";
    static std::string root;
    if (root.empty()) {
        char tmpl[] = "/tmp/np-fuzz-id-XXXXXX";
        if (!::mkdtemp(tmpl)) fail(T, "no temporary folder");
        root = tmpl;
        ::mkdir((root + "/data").c_str(), 0755);
        std::atexit([] {
            for (const std::string &n : entries(root + "/data"))
                ::unlink((root + "/data/" + n).c_str());
            ::rmdir((root + "/data").c_str());
            ::rmdir(root.c_str());
        });
    }
    const QString id = textFrom(data, size);
    const QString problem = primary::identifierProblem(id);
    if (mustRefuse(id)) CHECK(T, !problem.isEmpty(), "accepted: " + shown(id));
    const primary::SaveResult r = primary::appendRecord(
        QFile::decodeName(QByteArray::fromStdString(root + "/data")), id, u"3/14/2014,x,T,0,,psi");
    if (!problem.isEmpty()) CHECK(T, !r.ok && r.reason == problem, shown(id));
    if (!r.ok) CHECK(T, !r.reason.isEmpty(), "a failure says why");

    const std::vector<std::string> top = entries(root);
    CHECK(T, top.size() == 1 && top[0] == "data", "something appeared beside the data folder");
    const std::vector<std::string> inside = entries(root + "/data");
    CHECK(T, inside.size() <= (r.ok ? 1u : 0u), "more than the one readings file");
    for (const std::string &n : inside) {
        const std::string path = root + "/data/" + n;
        struct stat st {};
        CHECK(T, ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode), "not a file: " + n);
        CHECK(T, n == (QFile::encodeName(id) + ".txt").toStdString(), "another name: " + n);
        CHECK(T, st.st_size == 22, "record size " + std::to_string(st.st_size));
        ::unlink(path.c_str());
    }
}

} // namespace fuzzentry
