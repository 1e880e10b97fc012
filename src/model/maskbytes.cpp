#include "maskbytes.h"

#include <algorithm>

MaskBytes::MaskBytes(size_t count)
    : data_(std::make_shared<std::vector<uint8_t>>(count, uint8_t(0))) {}

MaskBytes::MaskBytes(std::vector<uint8_t> bytes)
    : data_(std::make_shared<std::vector<uint8_t>>(std::move(bytes))) {}

std::span<const uint8_t> MaskBytes::bytes() const {
    if (!data_)
        return {};
    return {data_->data(), data_->size()};
}

std::span<uint8_t> MaskBytes::mutableBytes() {
    if (!data_)
        return {};
    // Only the GUI thread writes masks; other holders (snapshots, an erase job) only
    // read and release theirs, so a count of 1 means nobody else can see the buffer.
    if (data_.use_count() > 1)
        data_ = std::make_shared<std::vector<uint8_t>>(*data_);
    return {data_->data(), data_->size()};
}

bool operator==(const MaskBytes& a, const MaskBytes& b) {
    if (a.data_ == b.data_)
        return true;
    const auto x = a.bytes();
    const auto y = b.bytes();
    return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin());
}
