#include "viewer/xevoverlaytext.h"

#include <gtest/gtest.h>

#include "qtguitestapp.h"

#include <QImage>
#include <QPainter>
#include <QWidget>

#include <cmath>
#include <memory>

#include "viewer/xevoverlaymanager.h"

namespace {

const QRgb kWhite = qRgb(255, 255, 255);

// A 400 x 400 frame at zoom 1 in a view of the same size.
class OverlayTextTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        view_ = std::make_unique<QWidget>();
        view_->resize(400, 400);
        manager_.imageWidth = 400;
        manager_.imageHeight = 400;
    }

    std::unique_ptr<QWidget> view_;
    XEVOverlayManager manager_;
    const XEVOverlayView zoom1_{nullptr, {0, 0}, {0, 0}, 1.0};
};

TEST_F(OverlayTextTest, EditBoxIsAWhiteOnBlackChildWithItsId)
{
    manager_.BeginText({100, 100}, view_.get());
    CXEVOverlayText* text = manager_.CurrentText();
    ASSERT_NE(text, nullptr);
    ASSERT_TRUE(text->IsEditing());
    EXPECT_EQ(text->edit->parent(), view_.get());
    EXPECT_EQ(text->edit->ControlId(), 101);
    EXPECT_EQ(text->edit->palette().color(QPalette::Base), QColor(Qt::black));
    EXPECT_EQ(text->edit->palette().color(QPalette::Text), QColor(Qt::white));
    EXPECT_EQ(manager_.textEditOpen, 1);
}

TEST_F(OverlayTextTest, TheTwoHundredFiftySixthCharacterIsRefused)
{
    manager_.BeginText({100, 100}, view_.get());
    XEVOverlayEdit* edit = manager_.CurrentText()->edit;
    edit->insertPlainText(QString(255, u'a'));
    EXPECT_EQ(edit->toPlainText().size(), 255);
    edit->insertPlainText(QStringLiteral("b"));
    EXPECT_EQ(edit->toPlainText(), QString(255, u'a'));
}

TEST_F(OverlayTextTest, TypedTabVanishes)
{
    manager_.BeginText({100, 100}, view_.get());
    XEVOverlayEdit* edit = manager_.CurrentText()->edit;
    edit->insertPlainText(QStringLiteral("ab"));
    edit->insertPlainText(QStringLiteral("\t"));
    edit->insertPlainText(QStringLiteral("c"));
    EXPECT_EQ(edit->toPlainText(), QStringLiteral("abc"));
    EXPECT_EQ(edit->textCursor().position(), 3);
}

TEST_F(OverlayTextTest, GrowingBoxKeepsItsCentreAndIsPushedLeftAtTheRightEdge)
{
    manager_.BeginText({100, 100}, view_.get());
    CXEVOverlayText* text = manager_.CurrentText();
    const XEVRect before = text->editRect;
    text->edit->insertPlainText(QStringLiteral("MMMMMMMMMMMM"));
    ASSERT_EQ(manager_.ResizeTextEdit(zoom1_), 1);
    const XEVRect after = text->editRect;
    EXPECT_GT(after.right - after.left, before.right - before.left);
    EXPECT_LE(std::abs((after.left + after.right) - (before.left + before.right)), 2);
    EXPECT_EQ(text->edit->geometry(), QRect(after.left, after.top, after.right - after.left, after.bottom - after.top));
    manager_.EndTextEdit(zoom1_);

    manager_.BeginText({380, 200}, view_.get());
    text = manager_.CurrentText();
    text->edit->insertPlainText(QStringLiteral("MMMMMMMMMMMMMMMM"));
    manager_.ResizeTextEdit(zoom1_);
    EXPECT_EQ(text->editRect.right, 400);
}

TEST_F(OverlayTextTest, BoxGivenTheViewRefitsOnEveryChange)
{
    manager_.BeginText({100, 100}, view_.get(), &zoom1_);
    CXEVOverlayText* text = manager_.CurrentText();
    const int32_t before = text->editRect.right - text->editRect.left;
    text->edit->insertPlainText(QStringLiteral("MMMMMMMMMMMM"));
    EXPECT_GT(text->editRect.right - text->editRect.left, before);
    EXPECT_EQ(text->edit->width(), text->editRect.right - text->editRect.left);
}

TEST_F(OverlayTextTest, EmptyTextIsDeletedAndTypedTextCommitted)
{
    manager_.BeginText({100, 100}, view_.get());
    manager_.EndTextEdit(zoom1_);
    EXPECT_TRUE(manager_.texts.empty());
    manager_.BeginText({100, 120}, view_.get());
    manager_.CurrentText()->edit->insertPlainText(QStringLiteral("note"));
    manager_.EndTextEdit(zoom1_);
    ASSERT_EQ(manager_.texts.size(), 1u);
    const CXEVOverlayText& text = *manager_.texts.begin()->second;
    EXPECT_EQ(text.text, QStringLiteral("note"));
    EXPECT_FALSE(text.IsEditing());
    EXPECT_EQ(text.imagePosition, QPoint(100, 120));
    EXPECT_EQ(view_->findChildren<XEVOverlayEdit*>().size(), 0);
}

TEST_F(OverlayTextTest, ViewDestroyedFirstLeavesNothingToDeleteTwice)
{
    auto manager = std::make_unique<XEVOverlayManager>();
    manager->imageWidth = 400;
    manager->imageHeight = 400;
    manager->BeginText({10, 10}, view_.get());
    manager->BeginArrow({50, 50});
    manager->DragArrow({150, 150}, zoom1_);
    ASSERT_EQ(manager->EndArrowDrag(view_.get()), 1);
    view_.reset();
    EXPECT_FALSE(manager->CurrentText()->IsEditing());
    EXPECT_FALSE(manager->CurrentArrow()->IsEditing());
    manager.reset();   // no double delete under the sanitizers
}

// ---- arrows

TEST(OverlayArrow, TailEastOfTheHeadPutsTheLabelRightOfTheTailCentred)
{
    const XEVRect r{0, 0, 400, 400};
    const QPoint head(100, 200);
    const QPoint tail(200, 200);
    const QPoint label = CXEVOverlayArrow::PlaceLabel(tail, head, 40, 14, r);
    EXPECT_EQ(label.x(), tail.x() + 10);
    EXPECT_EQ(label.y() + 14 / 2, tail.y());
}

TEST(OverlayArrow, TailOnTheBottomEdgePutsTheLabelAbove)
{
    const XEVRect r{0, 0, 400, 400};
    const QPoint head(100, 300);
    const QPoint tail(150, 399);
    const QPoint label = CXEVOverlayArrow::PlaceLabel(tail, head, 40, 14, r);
    EXPECT_LE(label.y() + 14, tail.y());
    EXPECT_GE(label.x(), r.left);
    EXPECT_LE(label.x() + 40, r.right);
}

TEST(OverlayArrow, LabelFirstChoiceIsOppositeTheHead)
{
    const XEVRect r{0, 0, 400, 400};
    // Head straight above the tail: label below the tail, centred.
    EXPECT_EQ(CXEVOverlayArrow::PlaceLabel({200, 200}, {200, 100}, 40, 14, r), QPoint(180, 210));
    // Head straight below: label above.
    EXPECT_EQ(CXEVOverlayArrow::PlaceLabel({200, 200}, {200, 300}, 40, 14, r), QPoint(180, 200 - 14 - 10));
    // Head to the east: label left of the tail.
    EXPECT_EQ(CXEVOverlayArrow::PlaceLabel({200, 200}, {300, 200}, 40, 14, r), QPoint(150, 193));
}

class OverlayArrowDrag : public OverlayTextTest {
protected:
    CXEVOverlayArrow* MakeArrow(QPoint head, QPoint tail)
    {
        manager_.BeginArrow(head);
        manager_.DragArrow(tail, zoom1_);
        EXPECT_EQ(manager_.EndArrowDrag(view_.get()), 1);
        manager_.EndArrowEdit(zoom1_);
        return manager_.CurrentArrow();
    }
};

TEST_F(OverlayArrowDrag, GrabNearHeadOrTailMovesOnlyThatEnd)
{
    CXEVOverlayArrow* arrow = MakeArrow({100, 100}, {200, 150});
    ASSERT_EQ(manager_.SelectAt({103, 96}), 1);
    EXPECT_EQ(arrow->dragMode, CXEVOverlayArrow::kModeStart);
    manager_.DragSelected(zoom1_, {113, 106});
    EXPECT_EQ(arrow->start, QPoint(110, 110));
    EXPECT_EQ(arrow->end, QPoint(200, 150));
    manager_.DropSelected(zoom1_, {113, 106});

    manager_.DeselectAll();
    ASSERT_EQ(manager_.SelectAt({196, 153}), 1);
    EXPECT_EQ(arrow->dragMode, CXEVOverlayArrow::kModeEnd);
    manager_.DragSelected(zoom1_, {186, 163});
    EXPECT_EQ(arrow->end, QPoint(190, 160));
    EXPECT_EQ(arrow->start, QPoint(110, 110));
}

TEST_F(OverlayArrowDrag, WholeDragAgainstTheBorderKeepsLengthAndDirection)
{
    CXEVOverlayArrow* arrow = MakeArrow({100, 100}, {200, 150});
    ASSERT_EQ(manager_.SelectAt({150, 125}), 1);
    EXPECT_EQ(arrow->dragMode, CXEVOverlayArrow::kModeWhole);
    manager_.DragSelected(zoom1_, {-900, 2000});
    EXPECT_EQ(arrow->end - arrow->start, QPoint(100, 50));
    EXPECT_EQ(arrow->start.x(), 1);
    EXPECT_EQ(arrow->end.y(), 399);
}

TEST_F(OverlayArrowDrag, ArrowWithinOnePixelIsDeleted)
{
    manager_.BeginArrow({100, 100});
    manager_.DragArrow({101, 101}, zoom1_);
    EXPECT_EQ(manager_.EndArrowDrag(view_.get()), 0);
    EXPECT_TRUE(manager_.arrows.empty());
    manager_.BeginArrow({100, 100});
    manager_.DragArrow({900, 101}, zoom1_);   // never inside the image
    EXPECT_EQ(manager_.EndArrowDrag(view_.get()), 0);
    EXPECT_TRUE(manager_.arrows.empty());
}

TEST_F(OverlayArrowDrag, WingTipsAreWhite)
{
    const QPoint head(100, 100);
    const QPoint tail(200, 160);
    CXEVOverlayArrow* arrow = MakeArrow(head, tail);
    ASSERT_NE(arrow, nullptr);
    QImage image(400, 400, QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter painter(&image);
    manager_.DrawAll(painter, {0, 0}, {0, 0}, 1.0);
    painter.end();
    // Wings of 10 pixels at 30 degrees either side of the shaft, back toward the tail.
    const double theta = std::atan2(60.0, 100.0);
    for (double wing : {-M_PI / 6, M_PI / 6}) {
        const int x = head.x() + static_cast<int>(10 * std::cos(theta + wing));
        const int y = head.y() + static_cast<int>(10 * std::sin(theta + wing));
        bool white = false;
        for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx) {
                white = white || image.pixel(x + dx, y + dy) == kWhite;
            }
        }
        EXPECT_TRUE(white) << x << "," << y;
    }
    EXPECT_EQ(image.pixel(150, 130), kWhite);   // on the shaft
}

TEST_F(OverlayArrowDrag, LabelIsDrawnBesideTheTail)
{
    manager_.BeginArrow({100, 200});
    manager_.DragArrow({200, 200}, zoom1_);
    ASSERT_EQ(manager_.EndArrowDrag(view_.get()), 1);
    CXEVOverlayArrow* arrow = manager_.CurrentArrow();
    EXPECT_EQ(arrow->edit->ControlId(), 102);
    arrow->edit->insertPlainText(QStringLiteral("lesion"));
    manager_.EndArrowEdit(zoom1_);
    EXPECT_EQ(arrow->label, QStringLiteral("lesion"));
    QImage image(400, 400, QImage::Format_RGB32);
    image.fill(qRgb(128, 128, 128));
    QPainter painter(&image);
    manager_.DrawAll(painter, {0, 0}, {0, 0}, 1.0);
    painter.end();
    int white = 0;
    for (int y = 180; y < 220; ++y) {
        for (int x = 210; x < 300; ++x) {
            white += image.pixel(x, y) == kWhite;
        }
    }
    EXPECT_GT(white, 10);
    int id = 0;
    EXPECT_EQ(manager_.ReEditArrowLabelAt({arrow->labelPosition.x() + 2, arrow->labelPosition.y() + 2}, id,
                                          view_.get()),
              1);
    EXPECT_EQ(id, 1);
    EXPECT_TRUE(arrow->IsEditing());
    EXPECT_EQ(arrow->edit->toPlainText(), QStringLiteral("lesion"));
}

}   // namespace
