#include "sharedbytes.h"

#include "largepages.h"

#include <algorithm>

SharedBytes::SharedBytes(size_t count)
    : data_(std::make_shared<std::vector<uint8_t>>(count, uint8_t(0))) {}

SharedBytes::SharedBytes(std::vector<uint8_t> bytes)
    : data_(std::make_shared<std::vector<uint8_t>>(std::move(bytes))) {}

std::span<const uint8_t> SharedBytes::bytes() const {
    if (!data_)
        return {};
    return {data_->data(), data_->size()};
}

std::span<uint8_t> SharedBytes::mutableBytes() {
    if (!data_)
        return {};
    // use_count() is exact for the owner asking: if it reads 1, no other copy exists and
    // none can appear except through this object.
    if (data_.use_count() > 1) {
        auto copy = std::make_shared<std::vector<uint8_t>>();
        LargePages::reserve(*copy, data_->size());
        copy->assign(data_->begin(), data_->end());
        data_ = std::move(copy);
    }
    return {data_->data(), data_->size()};
}

bool operator==(const SharedBytes& a, const SharedBytes& b) {
    if (a.data_ == b.data_)
        return true;
    const auto x = a.bytes();
    const auto y = b.bytes();
    return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin());
}
