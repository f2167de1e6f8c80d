#include "app/quicklook_panel.h"

#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

#include "quicklook/quicklook.h"

namespace vantrel {
namespace {

constexpr int kViewHint = 240;
constexpr int kViewMinimum = 64;
const QColor kViewGround(32, 32, 32);

}  // namespace

QuicklookView::QuicklookView(QWidget* parent) : QWidget(parent) {
  setObjectName("QuicklookImage");
  setMinimumSize(kViewMinimum, kViewMinimum);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void QuicklookView::SetImage(const QImage& image) {
  image_ = image;
  update();
}

QRect QuicklookView::ImageRect() const {
  if (image_.isNull()) return {};
  const QSize fitted = image_.size().scaled(size(), Qt::KeepAspectRatio);
  return QRect(QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted);
}

QSize QuicklookView::sizeHint() const {
  return {kViewHint, kViewHint};
}

void QuicklookView::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  painter.fillRect(rect(), kViewGround);
  if (image_.isNull()) return;
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(ImageRect(), image_);
}

QuicklookPanel::QuicklookPanel(QWidget* parent) : QWidget(parent) {
  setObjectName("Quicklook");
  channel_label_.setText("&Channel");
  channel_label_.setBuddy(&channel_);
  channel_.setObjectName("QuicklookChannel");
  channel_.setEnabled(false);
  caption_.setObjectName("QuicklookCaption");
  caption_.setWordWrap(true);
  caption_.setTextInteractionFlags(Qt::TextSelectableByMouse);

  auto* chooser = new QHBoxLayout;
  chooser->addWidget(&channel_label_);
  chooser->addWidget(&channel_, 1);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 8, 8, 8);
  column->addLayout(chooser);
  column->addWidget(&view_, 1);
  column->addWidget(&caption_);

  connect(&channel_, &QComboBox::activated, this,
          [this](int index) { ShowChannel(channel_.itemData(index).toInt()); });
}

void QuicklookPanel::ShowProduct(const std::string& product_path) {
  Clear();
  product_path_ = product_path;
  const ProductLayout* layout = FindProductLayout(product_path);
  if (layout != nullptr) {
    for (int c = 1; c <= layout->channels; ++c) {
      const QString infrared = IsInfrared(*layout, c) ? " (infrared)" : "";
      channel_.addItem(QString("%1 channel %2%3")
                           .arg(QString::fromUtf8(layout->instrument.data(),
                                                  static_cast<int>(layout->instrument.size())))
                           .arg(c)
                           .arg(infrared),
                       c);
    }
  }
  ShowChannel(0);
}

void QuicklookPanel::ShowChannel(int channel) {
  const QuicklookResult result = RenderQuicklook(product_path_, channel);
  if (!result.ok) {
    view_.SetImage({});
    channel_.setEnabled(false);
    caption_.setText("No quicklook: " + QString::fromStdString(result.error));
    return;
  }
  const Quicklook& image = result.image;
  // The pixels are copied: the result goes away when this returns.
  view_.SetImage(
      QImage(image.pixels.data(), image.width, image.height, image.width, QImage::Format_Grayscale8)
          .copy());
  channel_.setEnabled(true);
  channel_.setCurrentIndex(channel_.findData(image.channel));
  caption_.setText(QString("%1\n%2 lines")
                       .arg(QFileInfo(QString::fromStdString(product_path_)).fileName())
                       .arg(image.height));
}

void QuicklookPanel::ShowGrowing(const std::string& path, const ProductLayout& layout) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) return;
  // A new product (the first call, another layout, a file written anew) starts a new picture.
  if (!growing_ || &growing_->Layout() != &layout || file.size() < growing_->BytesAdded()) {
    Clear();
    growing_.emplace(layout);
  }
  if (!file.seek(growing_->BytesAdded())) return;
  const QByteArray added = file.readAll();
  if (added.isEmpty()) return;
  const int lines_before = growing_->Lines();
  growing_->Add(std::span(reinterpret_cast<const uint8_t*>(added.constData()),
                          static_cast<size_t>(added.size())));
  if (growing_->Lines() == lines_before) return;
  const QuicklookResult result = growing_->Render();
  if (!result.ok) return;
  const Quicklook& image = result.image;
  view_.SetImage(
      QImage(image.pixels.data(), image.width, image.height, image.width, QImage::Format_Grayscale8)
          .copy());
  caption_.setText(QString("The product as the pass comes in\n%1 lines so far").arg(image.height));
}

void QuicklookPanel::Clear() {
  growing_.reset();
  product_path_.clear();
  channel_.clear();
  channel_.setEnabled(false);
  view_.SetImage({});
  caption_.clear();
}

}  // namespace vantrel
