#include "app/QtScanDialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QInputDialog>
#include <QTimer>
#include <fstream>
#include <sstream>

#include "tests/app/QtTestApplication.h"
#include "tests/testkit/Helpers.h"

namespace dralmin {
namespace {

using namespace std::chrono_literals;

// A caption with a close button only (no minimise or maximise), and the agent's icon.
bool DecoratedLikeTheAgentsDialogs(const QWidget& window) {
  return (window.windowFlags() & Qt::WindowCloseButtonHint) &&
         !(window.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)) &&
         window.windowIcon().availableSizes().contains(QSize(32, 32));
}

class QtScanDialogTest : public ::testing::Test {
 protected:
  void SetUp() override { test::EnsureQtApplication(); }

  std::string File() const {
    std::ifstream file(path_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  static ScanOffer Offer() {
    ScanOffer offer;
    offer.device = "test:0";
    offer.label = "Noname frontend-tester";
    offer.flatbed = offer.feeder = true;
    offer.modes = {"color", "gray", "lineart"};
    offer.resolutions = {75, 150, 300, 600};
    return offer;
  }

  test::TempFolder folder_;
  std::string path_ = folder_.path() + "/Dralmin/agent.conf";
  QtScanDialog host_{path_};
  std::vector<std::optional<ScanChoices>> answers_;
  int cancels_ = 0;
};

TEST_F(QtScanDialogTest, ScanHandsOnAndRemembersTheChoicesAndCancelThenStopsTheDevice) {
  ScanChoices preset;
  preset.resolution = 200;  // not offered: the nearest is shown
  host_.AskScan(
      Offer(), preset, [&](auto answer) { answers_.push_back(answer); }, [&] { ++cancels_; });
  ASSERT_TRUE(test::ProcessEventsUntil([&] { return host_.Dialog() != nullptr; }, 5s));
  CScanDlg& dialog = *host_.Dialog();
  EXPECT_TRUE(DecoratedLikeTheAgentsDialogs(dialog));
  EXPECT_EQ(dialog.SourceCombo().currentData().toString(), "feeder");
  EXPECT_EQ(dialog.ResolutionCombo().currentData().toInt(), 150);
  dialog.ModeCombo().setCurrentIndex(1);

  dialog.ScanButton().click();
  ASSERT_EQ(answers_.size(), 1u);
  ASSERT_TRUE(answers_[0].has_value());
  EXPECT_EQ(answers_[0]->source, "feeder");
  EXPECT_EQ(answers_[0]->mode, "gray");
  EXPECT_EQ(answers_[0]->resolution, 150);
  EXPECT_EQ(File(), "scan_source = feeder\nscan_mode = gray\nscan_resolution = 150\n");

  // While the pages come, Cancel stops the device and the dialog waits for the scan's end.
  dialog.CancelButton().click();
  EXPECT_EQ(cancels_, 1);
  EXPECT_TRUE(dialog.isVisible());
  host_.ScanEnded();
  EXPECT_TRUE(test::ProcessEventsUntil([&] { return host_.Dialog() == nullptr; }, 5s));
  EXPECT_EQ(answers_.size(), 1u);
}

TEST_F(QtScanDialogTest, ClosingBeforeScanAnswersNothingAndStoresNothing) {
  ScanOffer offer = Offer();
  offer.feeder = false;
  host_.AskScan(
      offer, ScanChoices{}, [&](auto answer) { answers_.push_back(answer); }, [&] { ++cancels_; });
  ASSERT_TRUE(test::ProcessEventsUntil([&] { return host_.Dialog() != nullptr; }, 5s));
  EXPECT_FALSE(host_.Dialog()->SourceCombo().isVisibleTo(host_.Dialog()));  // one source only
  host_.Dialog()->close();
  ASSERT_EQ(answers_.size(), 1u);
  EXPECT_FALSE(answers_[0].has_value());
  EXPECT_EQ(cancels_, 0);
  EXPECT_EQ(File(), "");
}

TEST_F(QtScanDialogTest, TheScannerChoiceListsVendorAndModelAndStoresTheChosenName) {
  std::string chosen;
  QStringList shown;
  bool decorated = false;
  // The choice is modal: it is answered from a timer of its own event loop.
  QTimer answer;
  answer.setInterval(10);
  QObject::connect(&answer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    answer.stop();
    shown = box->comboBoxItems();
    decorated = DecoratedLikeTheAgentsDialogs(*box);
    EXPECT_EQ(box->textValue(), "Noname frontend-tester (test:1)");  // the current one
    box->setTextValue(shown[0]);
    box->accept();
  });
  answer.start();
  host_.ChooseDevice(
      {{"test:0", "Noname", "frontend-tester"}, {"test:1", "Noname", "frontend-tester"}}, "test:1",
      [&](const std::string& name) { chosen = name; });
  ASSERT_TRUE(test::ProcessEventsUntil([&] { return !chosen.empty(); }, 5s));
  EXPECT_EQ(shown,
            (QStringList{"Noname frontend-tester (test:0)", "Noname frontend-tester (test:1)"}));
  EXPECT_EQ(chosen, "test:0");
  EXPECT_TRUE(decorated);
  EXPECT_EQ(File(), "sane_device = test:0\n");
}

}  // namespace
}  // namespace dralmin
