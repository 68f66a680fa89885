// The waiting bar: its geometry and colours, painting, and the draw thread.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "app/FormMain.h"
#include "platform/Dialogs.h"
#include "platform/Faults.h"
#include "platform/Render.h"
#include "tests/TestSupport.h"
#include "widgets/WaitingGradient.h"

namespace {

// A panel holding a bar laid out as on the main window.
struct Bar {
    Bar() {
        panel.SetBounds(4, 36, 284, 32);
        panel.BevelOuter = bvLowered;
        panel.BevelWidth = 2;
        gradient = new TWaitingGradient(&panel);
        gradient->SetParent(&panel);
        gradient->SetAlign(alClient);
        gradient->SetGradientWidth(32);
        gradient->SetStartColor(clBtnHighlight);
        gradient->SetEndColor(clActiveCaption);
        gradient->AlwaysRestart = true;
    }
    TPanel panel{nullptr};
    TWaitingGradient* gradient;
};

int Channel(std::uint32_t rgb, int c) { return static_cast<int>((rgb >> (8 * c)) & 0xFF); }

// The colour of stripe i of a band of n stripes from one colour to another, computed here in the
// plain way: single-precision steps, rounded half to even.
std::uint32_t Stripe(std::uint32_t from, std::uint32_t to, int n, int i) {
    std::uint32_t rgb = 0;
    for (int c = 0; c < 3; ++c) {
        const float step = static_cast<float>(Channel(to, c) - Channel(from, c)) / static_cast<float>(n);
        const double v = std::nearbyint(Channel(from, c) + i * static_cast<double>(step));
        rgb |= static_cast<std::uint32_t>(v) << (8 * c);
    }
    return rgb;
}

}  // namespace

TEST(WaitingGradient, DefaultsAndLayout) {
    TWaitingGradient plain(nullptr);
    EXPECT_EQ(plain.Width(), 100);
    EXPECT_EQ(plain.Height(), 10);
    EXPECT_EQ(plain.GradientWidth(), 50);
    EXPECT_EQ(plain.BandLeft(), -50);
    EXPECT_EQ(plain.StartColor(), clBtnFace);
    EXPECT_EQ(plain.EndColor(), clBlack);
    EXPECT_EQ(plain.Interval(), 50u);
    EXPECT_FALSE(plain.AlwaysRestart);
    EXPECT_FALSE(plain.Active());
    EXPECT_FALSE(plain.ThreadStarted());
    Bar bar;
    EXPECT_EQ(bar.gradient->Left(), 2);
    EXPECT_EQ(bar.gradient->Width(), 280);
    EXPECT_EQ(bar.gradient->Height(), 28);
    EXPECT_EQ(bar.gradient->BandLeft(), -32);  // out of sight until the first ticks
}

TEST(WaitingGradient, OneCycleIs282Ticks) {
    Bar bar;
    TWaitingGradient& g = *bar.gradient;
    for (int tick = 1; tick <= 140; ++tick) {
        g.Advance();
        ASSERT_EQ(g.BandLeft(), -32 + 2 * tick);
    }
    EXPECT_EQ(g.BandLeft(), 248);
    EXPECT_TRUE(g.MovingRight());
    g.Advance();
    EXPECT_EQ(g.BandLeft(), 280);
    EXPECT_FALSE(g.MovingRight());
    for (int tick = 1; tick <= 140; ++tick) g.Advance();
    EXPECT_EQ(g.BandLeft(), 0);
    g.Advance();
    EXPECT_EQ(g.BandLeft(), -32);
    EXPECT_TRUE(g.MovingRight());
    EXPECT_EQ(g.TargetRect(), Rect(-32, 0, 0, 28));
}

TEST(WaitingGradient, StripesOfTheFormsColoursBothWays) {
    Bar bar;
    TWaitingGradient& g = *bar.gradient;
    const std::uint32_t highlight = platform::ColorToRGB(clBtnHighlight);
    const std::uint32_t caption = platform::ColorToRGB(clActiveCaption);
    ASSERT_EQ(g.GradientBitmap().Width(), 32);
    ASSERT_EQ(g.GradientBitmap().Height(), 28);
    for (int x = 0; x < 32; ++x) {
        for (int y : {0, 27}) ASSERT_EQ(g.GradientBitmap().Pixel(x, y), Stripe(highlight, caption, 32, x)) << x;
    }
    // Halfway the classic colours land on halves: (255,255,255) to (10,36,106) gives 132.5, 145.5
    // and 180.5 at stripe 16, rounded to the even 132, 146 and 180.
    if (highlight == 0xFFFFFF && caption == 0x6A240A) {  // the classic colours of the Linux machine
        EXPECT_EQ(g.GradientBitmap().Pixel(16, 0), 132u | (146u << 8) | (180u << 16));
    }
    EXPECT_EQ(g.GradientBitmap().Pixel(0, 0), highlight);
    for (int i = 0; i < 141; ++i) g.Advance();  // past the right edge: now moving left
    ASSERT_FALSE(g.MovingRight());
    for (int x = 0; x < 32; ++x) ASSERT_EQ(g.GradientBitmap().Pixel(x, 5), Stripe(caption, highlight, 32, x)) << x;
}

TEST(WaitingGradient, WidthRulesAndRebuilds) {
    TWaitingGradient narrow(nullptr);
    narrow.SetBounds(0, 0, 10, 4);
    narrow.SetStartColor(clWhite);
    narrow.SetEndColor(clBlack);
    narrow.SetGradientWidth(32);  // wider than the control: 10 stripes of 3.2 pixels
    for (int x = 0; x < 32; ++x) {
        int stripe = 0;  // the stripe whose rounded edges hold x
        while (stripe + 1 <= 10 && std::nearbyint((stripe + 1) * 3.2) <= x) ++stripe;
        ASSERT_EQ(narrow.GradientBitmap().Pixel(x, 0), Stripe(0xFFFFFF, 0, 10, stripe)) << x;
    }
    narrow.SetGradientWidth(0);
    narrow.SetGradientWidth(-3);
    EXPECT_EQ(narrow.GradientWidth(), 32);
    const int builds = narrow.Builds();
    narrow.SetStartColor(clWhite);
    EXPECT_EQ(narrow.Builds(), builds);
    narrow.SetStartColor(clBtnFace);
    EXPECT_EQ(narrow.Builds(), builds + 1);
    TWaitingGradient empty(nullptr);
    empty.SetBounds(0, 0, 0, 4);
    empty.SetEndColor(clWhite);
    for (int x = 0; x < empty.GradientWidth(); ++x) EXPECT_EQ(empty.GradientBitmap().Pixel(x, 0), 0xFFFFFFu);
}

TEST(WaitingGradient, PaintFillsBesideTheBand) {
    Bar bar;
    TWaitingGradient& g = *bar.gradient;
    for (int i = 0; i < 66; ++i) g.Advance();  // BandLeft 100
    ASSERT_EQ(g.BandLeft(), 100);
    TBitmap surface(280, 28);
    g.Paint(surface.Canvas());
    const std::uint32_t face = platform::ColorToRGB(clBtnFace);
    EXPECT_EQ(surface.Pixel(0, 10), face);
    EXPECT_EQ(surface.Pixel(99, 10), face);
    EXPECT_EQ(surface.Pixel(100, 10), g.GradientBitmap().Pixel(0, 10));
    EXPECT_EQ(surface.Pixel(131, 10), g.GradientBitmap().Pixel(31, 10));
    EXPECT_EQ(surface.Pixel(132, 10), face);
    EXPECT_EQ(surface.Pixel(279, 27), face);
}

TEST(WaitingGradient, TicksRunOnlyWhileTheMainThreadProcessesMessages) {
    Application.Initialize();
    Bar bar;
    TWaitingGradient& g = *bar.gradient;
    g.SetInterval(2);
    g.SetActive(true);
    EXPECT_TRUE(g.Active());
    EXPECT_TRUE(g.ThreadStarted());
    platform::Sleep(60);
    EXPECT_EQ(g.BandLeft(), -32);  // handed over, but not run yet
    for (int i = 0; i < 500 && g.BandLeft() < -20; ++i) {
        Application.ProcessMessages();
        platform::Sleep(1);
    }
    EXPECT_GE(g.BandLeft(), -20);
    g.SetActive(false);
    EXPECT_FALSE(g.Active());
    for (int i = 0; i < 20; ++i) {
        Application.ProcessMessages();
        platform::Sleep(2);
    }
    const int stopped = g.BandLeft();
    for (int i = 0; i < 20; ++i) {
        Application.ProcessMessages();
        platform::Sleep(2);
    }
    EXPECT_EQ(g.BandLeft(), stopped);  // paused: at most the tick in flight ran
    g.AlwaysRestart = false;
    g.SetActive(true);
    EXPECT_EQ(g.BandLeft(), stopped);  // continues where it stopped
    g.SetActive(false);
    g.AlwaysRestart = true;
    g.SetActive(true);
    EXPECT_EQ(g.BandLeft(), -32);  // back out of sight on the left
}

TEST(WaitingGradient, PausingAndDestroyingNeverDeadlock) {
    Application.Initialize();
    int destroyed = 0;
    for (int round = 0; round < 150; ++round) {
        auto bar = std::make_unique<Bar>();
        TWaitingGradient& g = *bar->gradient;
        g.SetInterval(round % 3);
        g.SetActive(true);
        bool active = true;
        for (int i = 0; i < round % 7; ++i) {
            Application.ProcessMessages();
            active = i % 2 == 0;
            g.SetActive(active);
            ASSERT_EQ(g.Active(), active);
        }
        if (round % 2) platform::Sleep(1);  // a tick may be waiting for the main thread now
        if (round % 5 == 0) {
            g.SetActive(false);
            ASSERT_FALSE(g.Active());
        }
        bar.reset();  // must return although the thread may hold a tick or sit paused
        ++destroyed;
    }
    EXPECT_EQ(destroyed, 150);
}

TEST(WaitingGradient, AThreadTheSystemRefusesLeavesABarThatDoesNotMove) {
    // At the system's limit of processes the draw thread cannot start: the job goes on with a bar
    // standing still, where it once ended the program.
    Application.Initialize();
    platform::faults::RefuseThreadsFrom(1);
    auto bar = std::make_unique<Bar>();
    bar->gradient->SetActive(true);
    platform::faults::Clear();
    EXPECT_FALSE(bar->gradient->Active());
    Application.ProcessMessages();
    bar.reset();
}

TEST(WaitingGradient, DestroyingCutsTheSleepShort) {
    // The end of the job must not wait out a tick interval: with 10 s between ticks, running or
    // paused, the bar is gone long before its next tick would be due.
    Application.Initialize();
    for (const bool paused : {false, true}) {
        auto bar = std::make_unique<Bar>();
        bar->gradient->SetInterval(10000);
        bar->gradient->SetActive(true);
        if (paused) bar->gradient->SetActive(false);
        platform::Sleep(20);  // the thread is asleep now
        const auto start = std::chrono::steady_clock::now();
        bar.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "paused " << paused;
    }
}

TEST(WindowSnapshot, TheWindowAtAFixedTick) {
    testing_support::TestMachine m;
    Application.Initialize();
    std::string shown;
    platform::SetHeadlessOutput(&shown);
    TFormMain form(nullptr);
    form.SetVisible(true);
    form.WaitingGradient->SetVisible(true);
    for (int i = 0; i < 80; ++i) form.WaitingGradient->Advance();
    TBitmap picture;
    platform::RenderForm(form, picture);
    EXPECT_EQ(picture.Width(), 292);
    EXPECT_EQ(picture.Height(), 85);
    const std::uint32_t face = platform::ColorToRGB(clBtnFace);
    EXPECT_EQ(picture.Pixel(1, 1), face);
    EXPECT_EQ(picture.Pixel(4, 36), platform::ColorToRGB(clBtnShadow));       // the lowered bevel
    EXPECT_EQ(picture.Pixel(287, 67), platform::ColorToRGB(clBtnHighlight));
    const int bandX = 4 + 2 + form.WaitingGradient->BandLeft();
    EXPECT_EQ(picture.Pixel(bandX, 50), form.WaitingGradient->GradientBitmap().Pixel(0, 0));
    ASSERT_TRUE(picture.SavePng(std::string(MAILBALE_BUILD_DIR) + "/window-snapshot.png"));
    platform::SetHeadlessOutput(nullptr);
}
