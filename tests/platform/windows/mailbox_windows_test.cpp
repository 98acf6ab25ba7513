// Mailboxes as message-only windows: real window handles that PostMessage reaches.
#include <gtest/gtest.h>
#include <windows.h>

#include "velmor/platform/mailbox.h"

namespace velmor::platform {
namespace {

TEST(WindowMailbox, PostedMessagesArriveInOrderAndTheEventTellsThatTheyWait) {
    const auto mailbox = OpenMailbox();
    ASSERT_TRUE(mailbox);
    const WindowHandle handle = mailbox->Handle();
    EXPECT_TRUE(IsWindow(handle));
    EXPECT_TRUE(::IsWindow(reinterpret_cast<HWND>(static_cast<std::intptr_t>(handle))));
    EXPECT_TRUE(MailboxSocketFile(handle).empty()) << "a window needs no file";

    // More than a Linux datagram queue holds and fewer than the 10,000 of a Windows queue.
    constexpr int kCount = 9000;
    for (int i = 0; i < kCount; ++i) ASSERT_TRUE(PostWindowMessage(handle, {kWmUser, 7, i})) << i;
    ASSERT_TRUE(PostWindowMessage(handle, {kWmClose, 0, -2}));
    // Messages that programs do not define for themselves are the system's and no mail.
    ::PostMessageW(reinterpret_cast<HWND>(static_cast<std::intptr_t>(handle)), WM_TIMER, 1, 0);

    EXPECT_EQ(::WaitForSingleObject(mailbox->NativeDescriptor(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "nothing has passed the window's procedure yet";
    std::vector<WindowMessage> received;
    while (const auto message = mailbox->Receive()) {
        received.push_back(*message);
        if (received.size() == 1) {
            EXPECT_EQ(::WaitForSingleObject(mailbox->NativeDescriptor(), 0),
                      static_cast<DWORD>(WAIT_OBJECT_0));
        }
    }
    ASSERT_EQ(received.size(), static_cast<std::size_t>(kCount + 1));
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(received[i], (WindowMessage{kWmUser, 7, i})) << i;
    EXPECT_EQ(received.back(), (WindowMessage{kWmClose, 0, -2}));
    EXPECT_EQ(::WaitForSingleObject(mailbox->NativeDescriptor(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    // WM_CLOSE is mail: the window is still there.
    EXPECT_TRUE(IsWindow(handle));
}

TEST(WindowMailbox, AClosedMailboxIsNoWindowAndTakesNoPosts) {
    WindowHandle handle = 0;
    {
        const auto mailbox = OpenMailbox();
        ASSERT_TRUE(mailbox);
        handle = mailbox->Handle();
        const auto second = OpenMailbox();
        ASSERT_TRUE(second);
        EXPECT_NE(second->Handle(), handle);
    }
    EXPECT_FALSE(IsWindow(handle));
    EXPECT_FALSE(PostWindowMessage(handle, {kWmUser, 0, 1}));
    EXPECT_FALSE(IsWindow(0));
    EXPECT_FALSE(PostWindowMessage(0, {kWmUser, 0, 1}));
}

}  // namespace
}  // namespace velmor::platform
