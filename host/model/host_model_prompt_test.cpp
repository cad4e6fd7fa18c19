#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>

#include "host/model/host_model_prompt.h"
#include "host/runtime/runtime.h"
#include "host/runtime/test_support.h"

using namespace quill;
using namespace quill::host;
using quill::host::testing::pumpUntil;

namespace {

QMessageBox* openBox() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) return box;
    return nullptr;
}

QAbstractButton* button(QMessageBox* box, const QString& text) {
    for (QAbstractButton* b : box->buttons())
        if (b->text() == text) return b;
    return nullptr;
}

}  // namespace

TEST(SessionPrompt, TextsNameTheControllerAndTheRequestedAccess) {
    const auto control = sessionPromptTexts("Alice", SessionMode::control);
    EXPECT_EQ(control.message, "Allow Alice to connect?");
    EXPECT_EQ(control.informative,
              "The controller requested view and control access. Session indicators and logging remain active.");
    EXPECT_EQ(sessionPromptTexts("Bob", SessionMode::view).informative,
              "The controller requested view-only access. Session indicators and logging remain active.");
}

TEST(SessionPrompt, TheAnswerComesFromTheButtonWithoutANestedLoop) {
    MessageBoxSessionPrompt prompt;
    for (const auto& [choice, expected] : {std::pair{QString("Allow Session"), true}, std::pair{QString("Decline"), false}}) {
        std::optional<bool> answer;
        spawn(nullptr, [&]() -> QCoro::Task<> { answer = co_await prompt.askToAllowSession("<b>Eve</b>", SessionMode::view); });
        QMessageBox* box = nullptr;
        ASSERT_TRUE(pumpUntil([&] { return (box = openBox()) != nullptr; }));
        EXPECT_EQ(box->text(), "Allow <b>Eve</b> to connect?");
        EXPECT_EQ(box->textFormat(), Qt::PlainText);
        EXPECT_EQ(box->icon(), QMessageBox::Warning);
        ASSERT_EQ(box->buttons().size(), 2);
        EXPECT_FALSE(answer);
        QAbstractButton* b = button(box, choice);
        ASSERT_TRUE(b);
        b->click();
        ASSERT_TRUE(pumpUntil([&] { return answer.has_value(); }));
        EXPECT_EQ(*answer, expected);
    }
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
