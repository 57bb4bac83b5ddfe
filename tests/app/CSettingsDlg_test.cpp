#include "app/CSettingsDlg.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QTimer>

#include "tests/app/QtTestApplication.h"
#include "tests/testkit/Helpers.h"

namespace dralmin {
namespace {

using namespace std::chrono_literals;

// The next control the Tab key moves to.
QWidget* NextTabStop(QWidget& from) {
  QWidget* next = from.nextInFocusChain();
  while (next != &from && !(next->focusPolicy() & Qt::TabFocus)) next = next->nextInFocusChain();
  return next;
}

// The support library's settings, in a configuration folder of the test's own.
class CSettingsDlgTest : public ::testing::Test {
 protected:
  void SetUp() override { test::EnsureQtApplication(); }

  static void Save(const std::string& address, int32_t codePage, bool peeler) {
    PrinterSettings settings{address.c_str(), codePage, static_cast<uint8_t>(peeler ? 1 : 0)};
    dralmin_SaveSettings(&settings);
  }
  struct Stored {
    std::string address;
    int32_t codePage;
    bool peeler;
  };
  static Stored Load() {
    PrinterSettings settings{};
    dralmin_GetSettings(&settings);
    return {settings.printerAddress, settings.codePage, settings.forcePeeler != 0};
  }

  test::PrivateUserProfile profile_;
};

TEST_F(CSettingsDlgTest, ControlsTextsAndOrder) {
  CSettingsDlg dialog;
  EXPECT_EQ(dialog.windowTitle().toStdString(), "Настройки");
  EXPECT_EQ(dialog.OkButton().text().toStdString(), "OK");
  EXPECT_TRUE(dialog.OkButton().isDefault());
  EXPECT_EQ(dialog.CancelButton().text().toStdString(), "Cancel");
  ASSERT_EQ(dialog.EncodingCombo().count(), 2);
  EXPECT_EQ(dialog.EncodingCombo().itemText(0).toStdString(), "OEM 866");
  EXPECT_EQ(dialog.EncodingCombo().itemText(1).toStdString(), " CP 1251");
  EXPECT_FALSE(dialog.EncodingCombo().isEditable());
  EXPECT_EQ(dialog.PeelerCheck().text().toStdString(), "Принудительно включить отделитель (TSC)");

  std::vector<std::string> labels;
  for (const QLabel* label : dialog.findChildren<QLabel*>()) {
    labels.push_back(label->text().toStdString());
  }
  EXPECT_EQ(labels, (std::vector<std::string>{"Принтер этикеток", "Только для сетвого принтера. ",
                                              "Оставьте пустым, если принтер подключен локально",
                                              "Кодировка принтера этикеток"}));

  // The focus moves from OK to Cancel, then to the fields from the top.
  EXPECT_EQ(NextTabStop(dialog.OkButton()), &dialog.CancelButton());
  EXPECT_EQ(NextTabStop(dialog.CancelButton()), &dialog.AddressEdit());
  EXPECT_EQ(NextTabStop(dialog.AddressEdit()), &dialog.EncodingCombo());
  EXPECT_EQ(NextTabStop(dialog.EncodingCombo()), &dialog.PeelerCheck());
  // Caption and close button only, with the agent's icon.
  EXPECT_TRUE(dialog.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(dialog.windowFlags() &
               (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
  EXPECT_TRUE(dialog.windowIcon().availableSizes().contains(QSize(32, 32)));
  // The controls keep their places relative to each other.
  dialog.layout()->activate();
  EXPECT_LT(dialog.AddressEdit().geometry().right(), dialog.width());
  EXPECT_LT(dialog.AddressEdit().geometry().bottom(), dialog.EncodingCombo().geometry().top());
  EXPECT_LT(dialog.EncodingCombo().geometry().bottom(), dialog.PeelerCheck().geometry().top());
  EXPECT_LT(dialog.PeelerCheck().geometry().bottom(), dialog.OkButton().geometry().top());
  EXPECT_LT(dialog.OkButton().geometry().right(), dialog.CancelButton().geometry().left());
}

// Desktops' fonts are wider than the one the dialog-unit sizes were made for, and users enlarge
// them.
TEST_F(CSettingsDlgTest, EveryTextGetsTheWidthItNeedsAtAnyFont) {
  for (const double scale : {1.0, 1.3, 2.0}) {
    CSettingsDlg dialog;
    QFont font = dialog.font();
    font.setPointSizeF(font.pointSizeF() * scale);
    dialog.setFont(font);
    dialog.layout()->activate();
    int texts = 0;
    for (QWidget* control : dialog.findChildren<QWidget*>()) {
      QString text;
      if (auto* label = qobject_cast<QLabel*>(control)) {
        text = label->text();
      } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        text = button->text();
      } else if (auto* list = qobject_cast<QComboBox*>(control)) {
        text = list->itemText(1);
      } else {
        continue;
      }
      ++texts;
      EXPECT_GE(control->width(), control->sizeHint().width())
          << text.toStdString() << " at " << scale << " times the font";
      EXPECT_TRUE(dialog.rect().contains(control->geometry())) << text.toStdString();
    }
    EXPECT_EQ(texts, 8);
  }
}

TEST_F(CSettingsDlgTest, OpensWithTheStoredSettingsAndOkStoresTheEditedOnes) {
  Save("10.0.0.7:9100", 866, false);
  RunSettingsCommand({}, [](CSettingsDlg& dialog) {
    dialog.DoDataExchange(false);
    EXPECT_EQ(dialog.AddressEdit().text().toStdString(), "10.0.0.7:9100");
    EXPECT_EQ(dialog.EncodingCombo().currentIndex(), 0);
    EXPECT_FALSE(dialog.PeelerCheck().isChecked());
    dialog.AddressEdit().setText(QStringLiteral("printer.local"));
    dialog.EncodingCombo().setCurrentIndex(1);
    dialog.PeelerCheck().setChecked(true);
    dialog.OkButton().click();
    return dialog.result();
  });
  const Stored stored = Load();
  EXPECT_EQ(stored.address, "printer.local");
  EXPECT_EQ(stored.codePage, 1251);
  EXPECT_TRUE(stored.peeler);

  // Read afresh at the next opening; OK without changes stores the same values again, and an
  // empty address is stored empty.
  RunSettingsCommand({}, [](CSettingsDlg& dialog) {
    dialog.DoDataExchange(false);
    EXPECT_EQ(dialog.AddressEdit().text().toStdString(), "printer.local");
    EXPECT_EQ(dialog.EncodingCombo().currentIndex(), 1);
    EXPECT_TRUE(dialog.PeelerCheck().isChecked());
    dialog.OkButton().click();
    return dialog.result();
  });
  EXPECT_EQ(Load().address, "printer.local");
  RunSettingsCommand({}, [](CSettingsDlg& dialog) {
    dialog.DoDataExchange(false);
    dialog.AddressEdit().clear();
    dialog.EncodingCombo().setCurrentIndex(0);
    dialog.OkButton().click();
    return dialog.result();
  });
  const Stored cleared = Load();
  EXPECT_EQ(cleared.address, "");
  EXPECT_EQ(cleared.codePage, 866);
  EXPECT_TRUE(cleared.peeler);
}

TEST_F(CSettingsDlgTest, CancelStoresNothingEvenAfterEdits) {
  Save("keep.me", 866, true);
  RunSettingsCommand({}, [](CSettingsDlg& dialog) {
    dialog.DoDataExchange(false);
    dialog.AddressEdit().setText(QStringLiteral("changed"));
    dialog.EncodingCombo().setCurrentIndex(1);
    dialog.PeelerCheck().setChecked(false);
    dialog.CancelButton().click();
    return dialog.result();
  });
  const Stored stored = Load();
  EXPECT_EQ(stored.address, "keep.me");
  EXPECT_EQ(stored.codePage, 866);
  EXPECT_TRUE(stored.peeler);
}

// A fake library whose stored code page is neither 866 nor 1251.
PrinterSettings fakeStored{"odd", 0, 0};
PrinterSettings fakeSaved{};
std::string fakeSavedAddress;

TEST_F(CSettingsDlgTest, AnyCodePageButOtherThan866OpensAs1251AndNoSelectionSavesAs1251) {
  const SettingsLibrary fake{[](PrinterSettings* settings) { *settings = fakeStored; },
                             [](const PrinterSettings* settings) {
                               fakeSaved = *settings;
                               fakeSavedAddress = settings->printerAddress;
                             }};
  RunSettingsCommand(fake, [](CSettingsDlg& dialog) {
    dialog.DoDataExchange(false);
    EXPECT_EQ(dialog.EncodingCombo().currentIndex(), 1);
    dialog.OkButton().click();
    return dialog.result();
  });
  EXPECT_EQ(fakeSaved.codePage, 1251);
  EXPECT_EQ(fakeSavedAddress, "odd");

  fakeStored.codePage = 866;
  RunSettingsCommand(fake, [](CSettingsDlg& dialog) {
    dialog.DoDataExchange(false);
    dialog.EncodingCombo().setCurrentIndex(-1);
    dialog.OkButton().click();
    return dialog.result();
  });
  EXPECT_EQ(fakeSaved.codePage, 1251);
}

TEST_F(CSettingsDlgTest, EscapeInTheModalDialogSavesNothing) {
  Save("stays", 1251, false);
  bool sawDialog = false;
  QTimer::singleShot(0, [&] {
    sawDialog = dynamic_cast<CSettingsDlg*>(QApplication::activeModalWidget()) != nullptr;
    for (QWidget* window : QApplication::topLevelWidgets()) {
      auto* dialog = dynamic_cast<CSettingsDlg*>(window);
      if (dialog == nullptr || !dialog->isVisible()) continue;
      dialog->AddressEdit().setText(QStringLiteral("typed"));
      QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
      QApplication::sendEvent(dialog, &escape);
    }
  });
  RunSettingsCommand();
  EXPECT_TRUE(sawDialog);
  EXPECT_EQ(Load().address, "stays");
}

}  // namespace
}  // namespace dralmin
