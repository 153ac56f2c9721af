// Draws the application's artwork: the icon in eight sizes and the picture
// on the right of the main dialog. The PNG files it writes are kept in the
// repository; run it again after changing a drawing:
//   draw_artwork <folder>
#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace {

// Repeatable pseudo-random value in [0, 1) for a lattice point.
double lattice_value(int x, int y, int seed) {
    std::uint32_t h = static_cast<std::uint32_t>(x) * 374761393u + static_cast<std::uint32_t>(y) * 668265263u +
                      static_cast<std::uint32_t>(seed) * 2246822519u;
    h = (h ^ (h >> 13)) * 1274126177u;
    h ^= h >> 16;
    return (h & 0xffffff) / double(0x1000000);
}

double smooth(double t) { return t * t * (3.0 - 2.0 * t); }

// Smooth value noise in [0, 1): a few octaves of interpolated lattice values.
double terrain_height(double x, double y) {
    double sum = 0.0, weight = 0.0, amplitude = 1.0, frequency = 1.0 / 64.0;
    for (int octave = 0; octave < 5; ++octave) {
        const double fx = x * frequency, fy = y * frequency;
        const int ix = static_cast<int>(std::floor(fx)), iy = static_cast<int>(std::floor(fy));
        const double tx = smooth(fx - ix), ty = smooth(fy - iy);
        const double a = lattice_value(ix, iy, octave), b = lattice_value(ix + 1, iy, octave);
        const double c = lattice_value(ix, iy + 1, octave), d = lattice_value(ix + 1, iy + 1, octave);
        const double top = a + (b - a) * tx, bottom = c + (d - c) * tx;
        sum += amplitude * (top + (bottom - top) * ty);
        weight += amplitude;
        amplitude *= 0.5;
        frequency *= 2.0;
    }
    return sum / weight;
}

QColor mix(const QColor& a, const QColor& b, double t) {
    t = std::clamp(t, 0.0, 1.0);
    return QColor::fromRgbF(a.redF() + (b.redF() - a.redF()) * t, a.greenF() + (b.greenF() - a.greenF()) * t,
                            a.blueF() + (b.blueF() - a.blueF()) * t);
}

// A satellite-like colour for a terrain height: sea, beach, forest, fields, town.
QColor terrain_colour(double h) {
    const QColor deep(18, 52, 96), shallow(44, 118, 150), sand(204, 190, 140), forest(36, 92, 46),
        meadow(104, 150, 66), soil(150, 112, 72), town(178, 176, 170);
    if (h < 0.42) return mix(deep, shallow, (h - 0.25) / 0.17);
    if (h < 0.45) return mix(shallow, sand, (h - 0.42) / 0.03);
    if (h < 0.48) return mix(sand, forest, (h - 0.45) / 0.03);
    if (h < 0.58) return mix(forest, meadow, (h - 0.48) / 0.10);
    if (h < 0.66) return mix(meadow, soil, (h - 0.58) / 0.08);
    return mix(soil, town, (h - 0.66) / 0.10);
}

const QColor GAP(16, 18, 22);
const QColor FILL_ACCENT(255, 146, 28);

// The missing scan lines of a faulty scanner: slanted stripes that widen
// from the middle of the swath towards its edges.
bool in_stripe(double x, double y, double width) {
    const double centre = width / 2.0;
    const double slant = y + 0.16 * x;
    const double period = 26.0;
    const double phase = slant - period * std::floor(slant / period);
    const double gap = 1.0 + 8.0 * std::abs(x - centre) / centre;
    return phase < gap;
}

QImage draw_picture() {
    const int width = 180, height = 374;
    const int seam = 196;  // rows above show the gaps, rows below the filled scene
    QImage image(width, height, QImage::Format_RGB888);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            QColor c = terrain_colour(terrain_height(x + 40.0, y + 10.0));
            const double grain = (lattice_value(x, y, 99) - 0.5) * 0.06;
            c = QColor::fromRgbF(std::clamp(c.redF() + grain, 0.0, 1.0), std::clamp(c.greenF() + grain, 0.0, 1.0),
                                 std::clamp(c.blueF() + grain, 0.0, 1.0));
            if (y < seam && in_stripe(x, y, width)) c = GAP;
            image.setPixelColor(x, y, c);
        }
    }

    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    // The seam: a bright line with a chevron pointing at the filled half.
    p.setPen(QPen(FILL_ACCENT, 3));
    p.drawLine(0, seam, width, seam);
    QPainterPath chevron;
    chevron.moveTo(width / 2.0 - 14, seam - 6);
    chevron.lineTo(width / 2.0, seam + 8);
    chevron.lineTo(width / 2.0 + 14, seam - 6);
    p.setPen(QPen(QColor(20, 20, 20), 7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(chevron);
    p.setPen(QPen(FILL_ACCENT, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(chevron);

    // The name on a dark band at the foot.
    p.fillRect(QRect(0, height - 62, width, 62), QColor(14, 22, 30, 215));
    p.fillRect(QRect(0, height - 62, width, 2), FILL_ACCENT);
    QFont title("DejaVu Sans", 1, QFont::Bold);
    title.setPixelSize(26);
    p.setFont(title);
    p.setPen(Qt::white);
    p.drawText(QRect(0, height - 58, width, 34), Qt::AlignCenter, "Pelvane");
    QFont subtitle("DejaVu Sans");
    subtitle.setPixelSize(11);
    p.setFont(subtitle);
    p.setPen(QColor(214, 222, 228));
    p.drawText(QRect(0, height - 26, width, 18), Qt::AlignCenter, "filling the gaps in your scenes");
    p.end();
    return image;
}

// The icon: a rounded tile of scene pixels crossed by a slanted gap that is
// missing at its lower left and filled, marked in orange, at its upper right.
QImage draw_icon(int size) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    const double margin = size <= 16 ? 0.5 : size / 32.0;
    const QRectF tile(margin, margin, size - 2 * margin, size - 2 * margin);
    const double radius = size * 0.18;
    QPainterPath outline;
    outline.addRoundedRect(tile, radius, radius);
    p.setClipPath(outline);

    // Scene pixels: a coarse mosaic so the raster shows even at 16 pixels.
    const int cells = size < 24 ? 4 : size < 48 ? 6 : 8;
    const double cell = tile.width() / cells;
    auto cell_colour = [&](int i, int j) {
        return terrain_colour(0.32 + 0.42 * (i + j) / (2.0 * (cells - 1)) +
                              0.08 * (lattice_value(i, j, 7) - 0.5));
    };
    for (int j = 0; j < cells; ++j)
        for (int i = 0; i < cells; ++i)
            p.fillRect(QRectF(tile.x() + i * cell, tile.y() + j * cell, cell + 0.5, cell + 0.5), cell_colour(i, j));

    // The gap: a slanted scan-line band across the middle, still black on
    // the left and filled on the right, where an orange rim marks the fill.
    const double thickness = size * 0.26;
    const double slope = 0.16 * tile.width();
    const QPointF c = tile.center();
    auto band_part = [&](double from_x, double to_x) {
        auto y_at = [&](double x) { return c.y() + slope * (c.x() - x) / tile.width(); };
        QPainterPath part;
        part.moveTo(from_x, y_at(from_x) - thickness / 2);
        part.lineTo(to_x, y_at(to_x) - thickness / 2);
        part.lineTo(to_x, y_at(to_x) + thickness / 2);
        part.lineTo(from_x, y_at(from_x) + thickness / 2);
        part.closeSubpath();
        return part;
    };
    p.fillPath(band_part(tile.left() - 1, c.x()), GAP);
    const double rim = std::max(1.0, size / 14.0);
    const QPainterPath filled = band_part(c.x() + rim / 2, tile.right() + rim);
    p.fillPath(filled, QColor(255, 255, 255, 40));
    p.setPen(QPen(FILL_ACCENT, rim, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(filled);

    p.setClipping(false);
    p.setPen(QPen(QColor(20, 28, 36), std::max(1.0, size / 32.0)));
    p.drawPath(outline);
    p.end();
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: draw_artwork <folder>\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    bool ok = draw_picture().save(folder + "/picture.png");
    for (int size : {16, 20, 24, 32, 40, 48, 64, 128})
        ok = draw_icon(size).save(folder + QString("/icon_%1.png").arg(size)) && ok;
    if (!ok) std::fprintf(stderr, "draw_artwork: could not write into %s\n", argv[1]);
    return ok ? 0 : 1;
}
