// Readable in any theme: under the window's own style, with the light
// palette, a dark one and two high-contrast ones, the text of every kind of control stands out
// from the background it is drawn on. Each region of the painted window is
// measured: its background is its most common colour, its text the colour
// farthest from that, and their contrast ratio (as accessibility guidelines
// reckon it) must reach 4.5.

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QHash>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QRadioButton>
#include <QStyle>
#include <QStyleFactory>
#include <cmath>
#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "LogBox.h"
#include "Style.h"
#include "TListBox.h"
#include "TRadioGroup.h"

namespace {

double Luminance(QRgb aColour)
{
  const auto Channel = [](int aValue) {
    const double C = aValue / 255.0;
    return C <= 0.03928 ? C / 12.92 : std::pow((C + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * Channel(qRed(aColour)) + 0.7152 * Channel(qGreen(aColour)) + 0.0722 * Channel(qBlue(aColour));
}

double Contrast(const QImage &aImage, const QRect &aRegion)
{
  QHash<QRgb, int> Count;
  for (int Y = aRegion.top(); Y <= aRegion.bottom(); ++Y)
    for (int X = aRegion.left(); X <= aRegion.right(); ++X)
      ++Count[aImage.pixel(X, Y)];
  QRgb Background = 0;
  int Most = -1;
  for (auto It = Count.constBegin(); It != Count.constEnd(); ++It)
    if (It.value() > Most) {
      Most = It.value();
      Background = It.key();
    }
  const double Back = Luminance(Background);
  double Best = 1;
  for (auto It = Count.constBegin(); It != Count.constEnd(); ++It) {
    const double Text = Luminance(It.key());
    Best = std::max(Best, (std::max(Back, Text) + 0.05) / (std::min(Back, Text) + 0.05));
  }
  return Best;
}

QPalette DarkPalette()
{
  QPalette Dark;
  Dark.setColor(QPalette::Window, QColor(53, 53, 53));
  Dark.setColor(QPalette::WindowText, Qt::white);
  Dark.setColor(QPalette::Base, QColor(42, 42, 42));
  Dark.setColor(QPalette::AlternateBase, QColor(66, 66, 66));
  Dark.setColor(QPalette::Text, Qt::white);
  Dark.setColor(QPalette::Button, QColor(53, 53, 53));
  Dark.setColor(QPalette::ButtonText, Qt::white);
  Dark.setColor(QPalette::Highlight, QColor(42, 130, 218));
  Dark.setColor(QPalette::HighlightedText, Qt::black);
  return Dark;
}

// The high-contrast schemes desktops offer: white on black with a cyan
// selection, and black on white with a purple one.
QPalette HighContrastPalette(bool aBlack)
{
  const QColor Back = aBlack ? Qt::black : Qt::white;
  const QColor Fore = aBlack ? Qt::white : Qt::black;
  QPalette High;
  for (const QPalette::ColorRole Role : {QPalette::Window, QPalette::Base, QPalette::AlternateBase, QPalette::Button})
    High.setColor(Role, Back);
  for (const QPalette::ColorRole Role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
    High.setColor(Role, Fore);
  High.setColor(QPalette::Highlight, aBlack ? QColor(0, 255, 255) : QColor(55, 0, 110));
  High.setColor(QPalette::HighlightedText, Back);
  High.setColor(QPalette::Disabled, QPalette::WindowText, aBlack ? QColor(0, 255, 0) : QColor(96, 0, 0));
  High.setColor(QPalette::Disabled, QPalette::ButtonText, aBlack ? QColor(0, 255, 0) : QColor(96, 0, 0));
  High.setColor(QPalette::Disabled, QPalette::Text, aBlack ? QColor(0, 255, 0) : QColor(96, 0, 0));
  return High;
}

// The window's style and a palette while it lives; the test program's own after.
struct TLook {
  QPalette Saved = QApplication::palette();
  QString SavedStyle = QApplication::style()->name();
  explicit TLook(const QPalette &aPalette)
  {
    QApplication::setPalette(aPalette);
    EXPECT_TRUE(ApplyStyle("Glossy"));
  }
  ~TLook()
  {
    qApp->setStyleSheet(QString());
    QApplication::setStyle(QStyleFactory::create(SavedStyle));
    QApplication::setPalette(Saved);
  }
};

} // namespace

TEST(Palette, EveryTextIsReadableUnderLightDarkAndHighContrastPalettes)
{
  const std::pair<const char *, QPalette> Palettes[] = {
      {"light palette", QApplication::style()->standardPalette()},
      {"dark palette", DarkPalette()},
      {"high contrast, white on black", HighContrastPalette(true)},
      {"high contrast, black on white", HighContrastPalette(false)},
  };
  for (const auto &[PaletteName, Palette] : Palettes) {
    SCOPED_TRACE(PaletteName);
    TLook Look(Palette);
    TTestWindow W;
    W->show();
    W->edtBroker->setText("127.0.0.1");
    W->UpdateTopic("sensors/t1", QString("21.5"));
    W->AddLog("Client offline");
    RunLoop(50);
    const QImage Shot = W->grab().toImage();
    // Inside the borders, and right of the mark of a check box or radio
    // button: the text and what lies under it alone.
    const auto Region = [&](QWidget *aWidget) {
      const int Mark = qobject_cast<QCheckBox *>(aWidget) || qobject_cast<QRadioButton *>(aWidget) ? 18 : 0;
      return QRect(aWidget->mapTo(W.Window.get(), QPoint(0, 0)), aWidget->size()).adjusted(3 + Mark, 3, -3, -3);
    };
    QLabel *Caption = nullptr;
    for (QLabel *Label : W->findChildren<QLabel *>())
      if (Label->text() == "Broker" || Label->text() == "&Broker")
        Caption = Label;
    ASSERT_NE(Caption, nullptr);
    const std::pair<const char *, QWidget *> Regions[] = {
        {"caption of a box", Caption},
        {"check box", W->chkSave},
        {"radio caption", W->rdgSSL->Button(0)},
        {"text box", W->edtBroker},
        {"status box", W->sttConnection},
        {"log", W->memLog},
        {"topic list", W->lbxTopic},
    };
    for (const auto &[Name, Widget] : Regions) {
      const double Ratio = Contrast(Shot, Region(Widget));
      EXPECT_GE(Ratio, 4.5) << Name;
    }
  }
}
