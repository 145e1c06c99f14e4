#include "buffers/GpuBuffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <vector>

namespace {

using Items = std::vector<unsigned short>;

TEST(GpuBuffer, NewBufferHasNoItemsAndNoStorage) {
    GpuBuffer<float> buffer(9, true);
    EXPECT_EQ(buffer.getLength(), 0u);
    EXPECT_EQ(buffer.getHostItemsCount(), 0u);
    EXPECT_EQ(buffer.getDeviceItemsCount(), 0u);
    for (unsigned short item = 0; item < 9; ++item) {
        EXPECT_EQ(buffer.getHostBuffer(item), nullptr) << item;
        EXPECT_EQ(buffer.getHostBufferAt(3, 2, item), nullptr) << item;
    }
}

TEST(GpuBuffer, ItemMajorSlotsFollowTheOrderOfAdding) {
    GpuBuffer<float> buffer(9, true);
    buffer.addItems(0, 3, GpuBufferItems::HostOnly);
    buffer.resize(100);
    EXPECT_EQ(buffer.hostElementsCount, 300u);
    EXPECT_EQ(buffer.hostAllocatedBytes, 1200u);
    EXPECT_EQ(buffer.getHostBuffer(2), buffer.getHostBuffer(0) + 200);
    EXPECT_EQ(buffer.getDeviceItemsCount(), 0u);
    EXPECT_EQ(buffer.getHostBuffer(3), nullptr);

    // Items added out of numeric order take slots in the order added.
    GpuBuffer<double> shuffled(9, false);
    shuffled.addItems(6, 2, GpuBufferItems::HostOnly);
    shuffled.addItems(0, 1, GpuBufferItems::HostOnly);
    shuffled.resize(10);
    EXPECT_EQ(shuffled.getHostItemsList(), (Items{6, 7, 0}));
    EXPECT_EQ(shuffled.getHostBuffer(6), shuffled.hostBuffer);
    EXPECT_EQ(shuffled.getHostBuffer(7), shuffled.hostBuffer + 10);
    // Item 0 always stands for slot 0, whatever the map says.
    EXPECT_EQ(shuffled.getHostBuffer(0), shuffled.hostBuffer);
}

TEST(GpuBuffer, ItemAddedTwiceOwnsTwoConsecutiveSlots) {
    GpuBuffer<double> buffer(3, false);
    buffer.addItems(0, 1, GpuBufferItems::HostOnly);
    buffer.addItems(1, 2, GpuBufferItems::HostOnly);
    buffer.addItems(2, 1, GpuBufferItems::HostOnly);
    buffer.resize(7);
    EXPECT_EQ(buffer.getHostItemsCount(), 4u);
    EXPECT_EQ(buffer.getHostItemsList(), (Items{0, 1, 2, 2}));
    EXPECT_EQ(buffer.getHostBuffer(1), buffer.hostBuffer + 7);
    EXPECT_EQ(buffer.getHostBuffer(2), buffer.hostBuffer + 21);
    EXPECT_EQ(buffer.hostElementsCount, 28u);
}

TEST(GpuBuffer, CopyTypesDecideSlotsAndCopyLists) {
    GpuBufferItems items(9);
    items.add(3, 3, GpuBufferItems::DeviceOnly);
    for (unsigned short k = 3; k < 6; ++k) {
        EXPECT_EQ(items.getHostItemIndex(k), -1);
        EXPECT_EQ(items.getDeviceItemIndex(k), k - 3);
    }
    EXPECT_EQ(items.getHostItemsCount(), 0u);
    items.add(0, 2, GpuBufferItems::Bidirectional);
    EXPECT_EQ(items.getHost2DeviceItems(), (Items{0, 1}));
    EXPECT_EQ(items.getDevice2HostItems(), (Items{0, 1}));
    EXPECT_EQ(items.getDeviceItemIndex(0), 3);
    items.add(6, 1, GpuBufferItems::HostToDevice);
    items.add(7, 1, GpuBufferItems::DeviceToHost);
    items.add(8, 1, static_cast<GpuBufferItems::CopyType>(9));  // unknown: both halves, no copy list
    EXPECT_EQ(items.getHost2DeviceItems(), (Items{0, 1, 6}));
    EXPECT_EQ(items.getDevice2HostItems(), (Items{0, 1, 7}));
    EXPECT_EQ(items.getHostItemsList(), (Items{0, 1, 6, 7, 8}));
    EXPECT_EQ(items.getDeviceItemsList(), (Items{3, 4, 5, 0, 1, 6, 7, 8}));

    items.clear();
    EXPECT_EQ(items.getHostItemsCount(), 0u);
    EXPECT_EQ(items.getDeviceItemsCount(), 0u);
    EXPECT_TRUE(items.getHost2DeviceItems().empty());
    EXPECT_TRUE(items.getDevice2HostItems().empty());
    for (unsigned short k = 0; k < 9; ++k) {
        EXPECT_EQ(items.getHostItemIndex(k), -1);
        EXPECT_EQ(items.getDeviceItemIndex(k), -1);
    }
}

TEST(GpuBuffer, BlockInterleavedAddressing) {
    GpuBuffer<float> buffer(9, true);
    buffer.addItems(0, 3, GpuBufferItems::HostOnly);
    buffer.resize(100);
    EXPECT_EQ(buffer.getHostBufferAt(5, 3, 2), buffer.hostBuffer + 21);
    EXPECT_EQ(buffer.getHostBufferAt(5, 3, 0), buffer.hostBuffer + 15);
    EXPECT_EQ(buffer.getHostBufferAt(0, 3, 1), buffer.hostBuffer + 3);
    EXPECT_EQ(buffer.getHostBufferAt(5, 3, 4), nullptr);
}

TEST(GpuBuffer, StorageIsReplacedOnlyWhenTheByteSizeChanges) {
    GpuBuffer<float> buffer(9, true);
    buffer.addItems(0, 2, GpuBufferItems::HostOnly);
    buffer.resize(100);
    float* storage = buffer.hostBuffer;
    storage[150] = 42.0f;

    // 2 x 100 and 4 x 50 elements: same bytes, same storage, contents kept.
    buffer.clearItems();
    buffer.addItems(0, 4, GpuBufferItems::HostOnly);
    buffer.resize(50);
    EXPECT_EQ(buffer.hostBuffer, storage);
    EXPECT_EQ(buffer.getHostBuffer(3)[0], 42.0f);
    EXPECT_EQ(buffer.getLength(), 50u);

    // Fewer items at the same length: the dropped ones are absent and the
    // storage shrinks.
    buffer.clearItems();
    buffer.addItems(0, 1, GpuBufferItems::HostOnly);
    buffer.resize(50);
    EXPECT_EQ(buffer.hostAllocatedBytes, 200u);
    EXPECT_EQ(buffer.getHostBuffer(1), nullptr);
    EXPECT_EQ(buffer.getHostBuffer(3), nullptr);

    // No host slots at all: no storage, null even for item 0.
    buffer.clearItems();
    buffer.addItems(0, 3, GpuBufferItems::DeviceOnly);
    buffer.resize(50);
    EXPECT_EQ(buffer.hostBuffer, nullptr);
    EXPECT_EQ(buffer.hostAllocatedBytes, 0u);
    EXPECT_EQ(buffer.deviceBytesCount, 600u);
    EXPECT_EQ(buffer.deviceAllocatedBytes, 0u);
    EXPECT_EQ(buffer.getDeviceBuffer(3), nullptr);
}

TEST(GpuBuffer, OversizedResizeThrowsAndLeavesNoStorageClaimed) {
    GpuBuffer<PowerResultsPeriod> buffer(1, true);
    buffer.addItems(0, 1, GpuBufferItems::HostOnly);
    buffer.resize(10);
    ASSERT_NE(buffer.hostBuffer, nullptr);
    // 384 bytes x 2^24 records does not fit in a 32-bit byte count.
    EXPECT_THROW(buffer.resize(1u << 24), std::bad_alloc);
    EXPECT_EQ(buffer.hostBuffer, nullptr);
    EXPECT_EQ(buffer.getHostBuffer(0), nullptr);
    EXPECT_EQ(buffer.getLength(), 0u);
    EXPECT_EQ(buffer.hostBytesCount, 0u);
    EXPECT_EQ(buffer.hostAllocatedBytes, 0u);
    EXPECT_EQ(buffer.getHostItemsCount(), 1u);  // the map is kept: a later resize recovers
    buffer.resize(10);
    EXPECT_NE(buffer.hostBuffer, nullptr);
    EXPECT_EQ(buffer.hostAllocatedBytes, 3840u);
}

}  // namespace
