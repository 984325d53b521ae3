// The program's icon, drawn from its SVG by Qt's SVG library at each size asked for.
#include "GuiInternals.h"

#include <QFile>
#include <QIconEngine>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

#include <utility>

// A resource of a static library is registered by hand (outside any namespace).
static void InitialiseIconResources() {
    Q_INIT_RESOURCE(icons);
}

namespace {

// QIcon reads an SVG file only through an icon-engine plugin, which some releases package
// apart from the SVG library (Debian 13 in a package of its own), so that a missing plugin
// package would leave the window without an icon. The library linked in draws it instead.
class SvgIconEngine final : public QIconEngine {
  public:
    explicit SvgIconEngine(QByteArray svg) : _svg(std::move(svg)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode /*mode*/,
               QIcon::State /*state*/) override {
        QSvgRenderer renderer(_svg);
        renderer.render(painter, rect);
    }

    // Qt's default starts from an uninitialised pixmap; an icon's corners are transparent.
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        paint(&painter, QRect(QPoint(0, 0), size), mode, state);
        return pixmap;
    }

    QIconEngine* clone() const override { return new SvgIconEngine(*this); }
    QString key() const override { return QStringLiteral("ka-svg"); }
    bool isNull() override { return !QSvgRenderer(_svg).isValid(); }

  private:
    QByteArray _svg;
};

}  // namespace

namespace kaplatform::gui {

QIcon ApplicationIcon() {
    InitialiseIconResources();
    QFile file(QStringLiteral(":/ka/icons/application.svg"));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    // QIcon owns the engine it is given.
    return QIcon(new SvgIconEngine(file.readAll()));
}

}  // namespace kaplatform::gui
