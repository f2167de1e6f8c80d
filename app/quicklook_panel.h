#pragma once

#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <optional>
#include <string>

#include "quicklook/quicklook.h"

namespace vantrel {

// Draws an image scaled to fit the widget, keeping its aspect, centred on a dark ground.
class QuicklookView : public QWidget {
  Q_OBJECT

 public:
  explicit QuicklookView(QWidget* parent = nullptr);
  void SetImage(const QImage& image);
  const QImage& Image() const { return image_; }
  // Where the image is drawn at the widget's present size (empty without an image).
  QRect ImageRect() const;
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QImage image_;
};

// The quicklook of the last run's product beside the log: the picture of one channel, a chooser
// for the channel, and the product's name and line count under the picture.
class QuicklookPanel : public QWidget {
  Q_OBJECT

 public:
  explicit QuicklookPanel(QWidget* parent = nullptr);

  // Shows the product's default channel; a product that cannot be shown leaves the reason in the
  // caption.
  void ShowProduct(const std::string& product_path);
  // Shows the product a live run is writing at `path` (its temporary name) as it grows, in the
  // layout's default channel: what was written since the last call is read and the picture drawn
  // again. The channel chooser waits for the product (ShowProduct). A file that cannot be read
  // yet, or that holds no line yet, leaves the picture as it is.
  void ShowGrowing(const std::string& path, const ProductLayout& layout);
  // Back to no picture: an empty view, no channels, no caption.
  void Clear();

  QComboBox& ChannelChooser() { return channel_; }
  const QuicklookView& View() const { return view_; }
  QString Caption() const { return caption_.text(); }
  const std::string& ProductPath() const { return product_path_; }

 private:
  void ShowChannel(int channel);

  std::string product_path_;
  // The product being written, while a live run goes on.
  std::optional<GrowingQuicklook> growing_;
  QLabel channel_label_{this};
  QComboBox channel_{this};
  QuicklookView view_{this};
  QLabel caption_{this};
};

}  // namespace vantrel
