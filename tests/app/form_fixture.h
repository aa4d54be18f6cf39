// Shared set-up for tests that drive the real main window offscreen: a scratch folder as
// the current directory, recorded message boxes, and helpers to wait on the event loop.
#pragma once

#include "app/Application.h"
#include "app/MainForm.h"

#include <gtest/gtest.h>

#include <QTest>

#include <memory>
#include <string>
#include <utility>
#include <vector>

struct ShownBox {
    std::string kind; // "message" or "error"
    std::string text;
};

class FormTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    void WriteFile(const std::string& name, const std::string& text);
    // Creates, shows and activates the window in the scratch folder.
    TForm1& Open();
    void Close();

    std::string dir_;
    std::string oldDir_;
    std::vector<ShownBox> boxes_;
    std::function<void(const ShownBox&)> onBox_;
    int quitRequests_ = 0;
    std::unique_ptr<TForm1> form_;
};
