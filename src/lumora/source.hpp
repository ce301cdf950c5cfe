// The source interface through which a reader hands out records, and the
// owning single-pass sequences it hands them out in.
#pragma once

#include <concepts>
#include <cstddef>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "lumora/error.hpp"
#include "lumora/result.hpp"
#include "lumora/types.hpp"

namespace lumora {

// What a Sequence<T> can be made over: a movable value that produces items
// one at a time and knows exactly how many are still to come. The producer
// owns everything it needs; it must not refer to the reader that made it.
template <class P, class T>
concept ItemProducer = std::movable<P> && requires(P& producer, const P& const_producer) {
    { producer.next() } -> std::same_as<std::optional<Result<T, Error>>>;
    { const_producer.remaining() } -> std::convertible_to<std::size_t>;
};

// An owning, single-pass, move-only sequence of records or errors. An error
// item does not end the sequence; the consumer decides whether to go on.
// Once the end has been reported the producer is released and every later
// request reports the end again. Used on the thread that created it.
template <class T>
class Sequence {
public:
    using Item = Result<T, Error>;

    // An empty sequence.
    Sequence() = default;

    template <ItemProducer<T> P>
    explicit Sequence(P producer) : producer_(std::make_unique<Model<P>>(std::move(producer))) {}

    // A sequence over items that already exist, handed out in order.
    static Sequence of(std::vector<Item> items) { return Sequence(Items{std::move(items), 0}); }

    Sequence(Sequence&&) noexcept = default;
    Sequence& operator=(Sequence&&) noexcept = default;

    // The next item, or nothing at the end.
    std::optional<Item> next() {
        if (!producer_) return std::nullopt;
        std::optional<Item> item = producer_->next();
        if (!item) producer_.reset();
        return item;
    }

    // Exactly the number of items still to come.
    std::size_t size_hint() const noexcept { return producer_ ? producer_->remaining() : 0; }

    // Produces and discards up to n items, errors included; stops at the end.
    void skip(std::size_t n) {
        for (; n > 0 && next(); --n) {
        }
    }

private:
    struct Producer {
        virtual ~Producer() = default;
        virtual std::optional<Item> next() = 0;
        virtual std::size_t remaining() const noexcept = 0;
    };

    template <class P>
    struct Model final : Producer {
        explicit Model(P p) : producer(std::move(p)) {}
        std::optional<Item> next() override { return producer.next(); }
        std::size_t remaining() const noexcept override { return producer.remaining(); }
        P producer;
    };

    struct Items {
        std::vector<Item> items;
        std::size_t position;

        std::optional<Item> next() {
            if (position == items.size()) return std::nullopt;
            return std::move(items[position++]);
        }
        std::size_t remaining() const noexcept { return items.size() - position; }
    };

    std::unique_ptr<Producer> producer_;
};

using SpectrumSequence = Sequence<SpectrumRecord>;
using ChromatogramSequence = Sequence<ChromatogramRecord>;

// What a format reader implements. Every call starts afresh and leaves the
// source unchanged; the sequences returned hold no reference to it, so the
// source may be dropped while they are still being consumed.
class SpectrumSource {
public:
    virtual ~SpectrumSource() = default;

    virtual SpectrumSequence iter_spectra() const = 0;
    virtual RunMetadata run_metadata() const = 0;
    virtual ChromatogramSequence iter_chromatograms() const = 0;

protected:
    SpectrumSource() = default;
    SpectrumSource(const SpectrumSource&) = default;
    SpectrumSource(SpectrumSource&&) = default;
    SpectrumSource& operator=(const SpectrumSource&) = default;
    SpectrumSource& operator=(SpectrumSource&&) = default;
};

}  // namespace lumora
