#include "kit/icons.h"

#include <QFontDatabase>
#include <QPixmap>
#include <QStandardPaths>

#include <utility>

namespace tsav::icons {

namespace {

// Symbol name -> Material Icons codepoint (the icon's ligature name in the comment).
constexpr std::pair<const char *, char16_t> kTable[] = {
    {"antenna.radiowaves.left.and.right", 0xe8bf}, // settings_input_antenna
    {"arrow.right.circle.fill", 0xeaaa},           // arrow_circle_right
    {"arrow.triangle.2.circlepath", 0xe627},       // sync
    {"arrow.uturn.backward", 0xe166},              // undo
    {"bell.badge.fill", 0xe7f7},                   // notifications_active
    {"bolt.fill", 0xea0b},                         // bolt
    {"brain.head.profile", 0xea4a},                // psychology
    {"checkmark.circle.fill", 0xe86c},             // check_circle
    {"checkmark.shield", 0xe8e8},                  // verified_user
    {"checkmark.shield.fill", 0xf013},             // gpp_good
    {"circle.fill", 0xe061},                       // fiber_manual_record
    {"clock", 0xe192},                             // access_time
    {"clock.fill", 0xe8b5},                        // schedule
    {"cloud.fill", 0xe2bd},                        // cloud
    {"cpu", 0xe322},                               // memory
    {"cpu.fill", 0xe30d},                          // developer_board
    {"doc.badge.gearshape", 0xef42},               // article
    {"doc.badge.gearshape.fill", 0xef42},          // article
    {"doc.fill", 0xe873},                          // description
    {"doc.text.magnifyingglass", 0xe880},          // find_in_page
    {"exclamationmark.octagon.fill", 0xe160},      // report
    {"exclamationmark.shield", 0xf014},            // gpp_maybe
    {"exclamationmark.shield.fill", 0xf014},       // gpp_maybe
    {"exclamationmark.triangle", 0xf083},          // warning_amber
    {"exclamationmark.triangle.fill", 0xe002},     // warning
    {"folder.badge.plus", 0xe2cc},                 // create_new_folder
    {"gearshape.fill", 0xe8b8},                    // settings
    {"hand.tap.fill", 0xe913},                     // touch_app
    {"info.circle.fill", 0xe88e},                  // info
    {"list.bullet.rectangle", 0xe0ee},             // list_alt
    {"lock.shield.fill", 0xe897},                  // lock
    {"macwindow", 0xe069},                         // web_asset
    {"magnifyingglass", 0xe8b6},                   // search
    {"network", 0xeb2f},                           // lan
    {"power", 0xe8ac},                             // power_settings_new
    {"scope", 0xe1b3},                             // gps_fixed
    {"shield.lefthalf.filled", 0xe32a},            // security
    {"speaker.wave.2.fill", 0xe050},               // volume_up
    {"square.and.arrow.down", 0xe2c4},             // file_download
    {"stop.fill", 0xe047},                         // stop
    {"trash.fill", 0xe872},                        // delete
    {"tray.fill", 0xe156},                         // inbox
    {"tray.full.fill", 0xe1a1},                    // inventory_2
    {"xmark", 0xe5cd},                             // close
    {"xmark.circle.fill", 0xe5c9},                 // cancel
};

constexpr char16_t kFallback = 0xe887; // help

const QString &family()
{
    // Installed system-wide by fonts-material-design-icons-iconfont.
    static const QString f = QStringLiteral("Material Icons");
    return f;
}

// The font package installs the same face three times: TrueType, WOFF and WOFF2, and the
// font database may pick the WOFF2 file, which FreeType inflates with Brotli each time it
// opens the face (about 5 ms, paid at start-up by the first icon drawn). Registering the
// TrueType file once the system's fonts are listed makes it the file used for the family;
// the glyphs are the same.
void preferTrueTypeFile()
{
    static const bool done = [] {
        const QString file = QStandardPaths::locate(
            QStandardPaths::GenericDataLocation,
            QStringLiteral("fonts/truetype/material-design-icons-iconfont/MaterialIcons-Regular.ttf"));
        if (file.isEmpty())
            return true;
        QFontDatabase::families(); // lists the system's fonts first: a later registration wins
        const int id = QFontDatabase::addApplicationFont(file);
        if (id >= 0 && !QFontDatabase::applicationFontFamilies(id).contains(family()))
            QFontDatabase::removeApplicationFont(id);
        return true;
    }();
    (void)done;
}

} // namespace

QString glyph(const QString &symbolName)
{
    for (const auto &[name, code] : kTable)
        if (symbolName == QLatin1String(name))
            return QString(QChar(code));
    return QString(QChar(kFallback));
}

bool known(const QString &symbolName)
{
    for (const auto &entry : kTable)
        if (symbolName == QLatin1String(entry.first))
            return true;
    return false;
}

QStringList allNames()
{
    QStringList out;
    for (const auto &entry : kTable)
        out.append(QString::fromLatin1(entry.first));
    return out;
}

QFont font(qreal pixelSize)
{
    preferTrueTypeFile();
    QFont f(family());
    f.setPixelSize(std::max(1, qRound(pixelSize)));
    f.setStyleStrategy(QFont::PreferAntialias);
    f.setHintingPreference(QFont::PreferNoHinting);
    return f;
}

void draw(QPainter &p, const QRectF &rect, const QString &symbolName, const QColor &color,
          qreal pixelSize)
{
    p.save();
    p.setFont(font(pixelSize));
    p.setPen(color);
    p.drawText(rect, Qt::AlignCenter, glyph(symbolName));
    p.restore();
}

QIcon icon(const QString &symbolName, const QColor &color, int size)
{
    QIcon out;
    for (int s : {size, size * 2}) {
        QPixmap pm(s, s);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::TextAntialiasing);
        draw(p, QRectF(0, 0, s, s), symbolName, color, s * 0.9);
        p.end();
        out.addPixmap(pm);
    }
    return out;
}

} // namespace tsav::icons
