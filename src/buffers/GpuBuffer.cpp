#include "buffers/GpuBuffer.h"

#include <cstdint>
#include <cstdlib>
#include <new>

GpuBufferItems::GpuBufferItems(unsigned short itemsCount)
    : itemsCount(itemsCount), hostItemIndices(itemsCount, -1), deviceItemIndices(itemsCount, -1) {}

void GpuBufferItems::add(unsigned short first, unsigned short count, CopyType type) {
    for (unsigned int k = first; k < static_cast<unsigned int>(first) + count; ++k) {
        const unsigned short item = static_cast<unsigned short>(k);
        if (type == DeviceOnly) {
            hostItemIndices[item] = -1;
        } else {
            hostItemIndices[item] = static_cast<short>(hostItemsList.size());
            hostItemsList.push_back(item);
            if (type == HostOnly) {
                deviceItemIndices[item] = -1;
                continue;
            }
        }
        deviceItemIndices[item] = static_cast<short>(deviceItemsList.size());
        deviceItemsList.push_back(item);
        if (type == HostToDevice || type == Bidirectional) {
            host2DeviceItems.push_back(item);
        }
        if (type == DeviceToHost || type == Bidirectional) {
            device2HostItems.push_back(item);
        }
    }
}

void GpuBufferItems::clear() {
    hostItemsList.clear();
    deviceItemsList.clear();
    host2DeviceItems.clear();
    device2HostItems.clear();
    hostItemIndices.assign(itemsCount, -1);
    deviceItemIndices.assign(itemsCount, -1);
}

short GpuBufferItems::getHostItemIndex(unsigned short item) const { return hostItemIndices[item]; }
short GpuBufferItems::getDeviceItemIndex(unsigned short item) const { return deviceItemIndices[item]; }
unsigned int GpuBufferItems::getHostItemsCount() const { return static_cast<unsigned int>(hostItemsList.size()); }
unsigned int GpuBufferItems::getDeviceItemsCount() const { return static_cast<unsigned int>(deviceItemsList.size()); }
std::vector<unsigned short> GpuBufferItems::getHostItemsList() const { return hostItemsList; }
std::vector<unsigned short> GpuBufferItems::getDeviceItemsList() const { return deviceItemsList; }
std::vector<unsigned short> GpuBufferItems::getHost2DeviceItems() const { return host2DeviceItems; }
std::vector<unsigned short> GpuBufferItems::getDevice2HostItems() const { return device2HostItems; }

template <typename T>
GpuBuffer<T>::GpuBuffer(unsigned short itemsCount, bool optionFlag)
    : hostBuffer(nullptr),
      deviceBuffer(nullptr),
      optionFlag(optionFlag),
      items(itemsCount),
      length(0),
      hostElementsCount(0),
      deviceElementsCount(0),
      hostBytesCount(0),
      deviceBytesCount(0),
      hostAllocatedBytes(0),
      deviceAllocatedBytes(0) {}

template <typename T>
GpuBuffer<T>::~GpuBuffer() {
    std::free(hostBuffer);
}

template <typename T>
void GpuBuffer<T>::addItems(unsigned short first, unsigned short count, GpuBufferItems::CopyType type) {
    items.add(first, count, type);
}

template <typename T>
void GpuBuffer<T>::clearItems() {
    items.clear();
}

template <typename T>
void GpuBuffer<T>::resize(unsigned int newLength) {
    const uint64_t hostSlots = items.getHostItemsCount();
    const uint64_t deviceSlots = items.getDeviceItemsCount();
    const uint64_t hostBytes = hostSlots * newLength * sizeof(T);
    const uint64_t deviceBytes = deviceSlots * newLength * sizeof(T);
    if (hostBytes > UINT32_MAX || deviceBytes > UINT32_MAX) {
        freeBuffers();
        throw std::bad_array_new_length();
    }
    length = newLength;
    hostElementsCount = static_cast<unsigned int>(hostSlots * newLength);
    deviceElementsCount = static_cast<unsigned int>(deviceSlots * newLength);
    hostBytesCount = static_cast<unsigned int>(hostBytes);
    deviceBytesCount = static_cast<unsigned int>(deviceBytes);
    initBuffers();
}

template <typename T>
void GpuBuffer<T>::initBuffers() {
    if (hostBytesCount == hostAllocatedBytes) {
        return;  // same byte size: storage and contents stay
    }
    std::free(hostBuffer);
    hostBuffer = nullptr;
    hostAllocatedBytes = 0;
    if (hostBytesCount == 0) {
        return;
    }
    void* storage = std::malloc(hostBytesCount);
    if (storage == nullptr) {
        freeBuffers();
        throw std::bad_alloc();
    }
    hostBuffer = static_cast<T*>(storage);
    hostAllocatedBytes = hostBytesCount;
}

template <typename T>
void GpuBuffer<T>::freeBuffers() {
    std::free(hostBuffer);
    hostBuffer = nullptr;
    hostAllocatedBytes = 0;
    length = 0;
    hostElementsCount = 0;
    deviceElementsCount = 0;
    hostBytesCount = 0;
    deviceBytesCount = 0;
}

template <typename T>
unsigned int GpuBuffer<T>::getLength() const {
    return length;
}

template <typename T>
unsigned int GpuBuffer<T>::getHostItemsCount() const {
    return items.getHostItemsCount();
}

template <typename T>
unsigned int GpuBuffer<T>::getDeviceItemsCount() const {
    return items.getDeviceItemsCount();
}

template <typename T>
std::vector<unsigned short> GpuBuffer<T>::getHostItemsList() const {
    return items.getHostItemsList();
}

template <typename T>
std::vector<unsigned short> GpuBuffer<T>::getDeviceItemsList() const {
    return items.getDeviceItemsList();
}

template <typename T>
T* GpuBuffer<T>::getHostBuffer(unsigned short item) const {
    if (item == 0 || hostBuffer == nullptr) {
        return hostBuffer;
    }
    const short slot = items.hostItemIndices[item];
    if (slot < 0) {
        return nullptr;
    }
    return hostBuffer + static_cast<size_t>(slot) * length;
}

template <typename T>
T* GpuBuffer<T>::getHostBufferAt(unsigned int firstIndex, unsigned int blockLength, unsigned short item) {
    if (hostBuffer == nullptr) {
        return nullptr;
    }
    const size_t slots = items.getHostItemsCount();
    if (item == 0) {
        return hostBuffer + slots * firstIndex;
    }
    const short slot = items.hostItemIndices[item];
    if (slot < 0) {
        return nullptr;
    }
    return hostBuffer + (slots * firstIndex + static_cast<size_t>(slot) * blockLength);
}

template <typename T>
T* GpuBuffer<T>::getDeviceBuffer(unsigned short item) const {
    if (item == 0 || deviceBuffer == nullptr) {
        return deviceBuffer;
    }
    const short slot = items.deviceItemIndices[item];
    if (slot < 0) {
        return nullptr;
    }
    return deviceBuffer + static_cast<size_t>(slot) * length;
}

template <typename T>
T* GpuBuffer<T>::getDeviceBufferAt(unsigned int firstIndex, unsigned int blockLength, unsigned short item) {
    if (deviceBuffer == nullptr) {
        return nullptr;
    }
    const size_t slots = items.getDeviceItemsCount();
    if (item == 0) {
        return deviceBuffer + slots * firstIndex;
    }
    const short slot = items.deviceItemIndices[item];
    if (slot < 0) {
        return nullptr;
    }
    return deviceBuffer + (slots * firstIndex + static_cast<size_t>(slot) * blockLength);
}

// With GCC (ELF visibility and MinGW dllexport alike) the attribute of the
// class template already exports every member of these instantiations;
// repeating it here, after the extern template declarations of the header, is
// ignored with a warning. MSVC wants it on the explicit instantiation.
#if defined(_MSC_VER)
#define POWERQUALITY_INSTANTIATION_API POWERQUALITY_API
#else
#define POWERQUALITY_INSTANTIATION_API
#endif

template class POWERQUALITY_INSTANTIATION_API GpuBuffer<float>;
template class POWERQUALITY_INSTANTIATION_API GpuBuffer<double>;
template class POWERQUALITY_INSTANTIATION_API GpuBuffer<std::complex<float>>;
template class POWERQUALITY_INSTANTIATION_API GpuBuffer<std::complex<double>>;
template class POWERQUALITY_INSTANTIATION_API GpuBuffer<PowerResultsGeneral>;
template class POWERQUALITY_INSTANTIATION_API GpuBuffer<PowerResultsPeriod>;
template class POWERQUALITY_INSTANTIATION_API GpuBuffer<PowerResultsThd>;
template class POWERQUALITY_INSTANTIATION_API GpuBuffer<RvcResult>;
