#pragma once

#include <cstddef>
#include <iterator>
#include <memory>
#include <vector>

// A growing table of records stored in fixed blocks. Unlike a vector it never moves its records when
// it grows, so a table of a million records needs no second copy of itself while it is being built,
// and references to records stay valid.
template <typename T, std::size_t BlockBits = 14>
class ChunkedTable {
public:
    static constexpr std::size_t block_size = std::size_t{1} << BlockBits;

    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }

    T& operator[](std::size_t i) { return blocks_[i >> BlockBits][i & (block_size - 1)]; }
    const T& operator[](std::size_t i) const { return blocks_[i >> BlockBits][i & (block_size - 1)]; }

    T& push_back(const T& record) {
        grow_for(count_ + 1);
        T& slot = (*this)[count_++];
        slot = record;
        return slot;
    }
    T& emplace_back() { return push_back(T{}); }
    T& back() { return (*this)[count_ - 1]; }

    // Sizes the table to n records; new records are value-initialised.
    void resize(std::size_t n) {
        grow_for(n);
        for (std::size_t i = count_; i < n; ++i) (*this)[i] = T{};
        count_ = n;
    }
    void clear() {
        blocks_.clear();
        count_ = 0;
    }

    template <typename Table, typename Value>
    class basic_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        using pointer = Value*;
        using reference = Value&;
        basic_iterator(Table* table, std::size_t i) : table_(table), i_(i) {}
        reference operator*() const { return (*table_)[i_]; }
        pointer operator->() const { return &(*table_)[i_]; }
        basic_iterator& operator++() {
            ++i_;
            return *this;
        }
        bool operator==(const basic_iterator& other) const { return i_ == other.i_; }
        bool operator!=(const basic_iterator& other) const { return i_ != other.i_; }

    private:
        Table* table_;
        std::size_t i_;
    };
    using iterator = basic_iterator<ChunkedTable, T>;
    using const_iterator = basic_iterator<const ChunkedTable, const T>;
    iterator begin() { return {this, 0}; }
    iterator end() { return {this, count_}; }
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, count_}; }

private:
    void grow_for(std::size_t n) {
        while (blocks_.size() * block_size < n) blocks_.push_back(std::make_unique<T[]>(block_size));
    }

    std::vector<std::unique_ptr<T[]>> blocks_;
    std::size_t count_ = 0;
};
