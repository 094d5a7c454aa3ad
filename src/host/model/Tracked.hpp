#pragma once

// Observable state: a field that notifies its registrar's observers when a
// write changes it, and only then. Every write stores the value.

#include <cstdint>
#include <functional>
#include <map>
#include <utility>

namespace velorinth {

// The observers of one object's fields. Confined to one thread (the UI's).
template <class Field>
class ObservationRegistrar {
public:
    using Observer = std::function<void(Field)>;
    using Token = std::uint64_t;

    Token add(Observer observer) {
        observers_.emplace(++lastToken_, std::move(observer));
        return lastToken_;
    }
    void remove(Token token) { observers_.erase(token); }

    // Each observer sees the change; observers added or removed meanwhile
    // take effect from the next change.
    void changed(Field field) const {
        const auto observers = observers_;
        for (const auto& [token, observer] : observers) observer(field);
    }

private:
    std::map<Token, Observer> observers_;
    Token lastToken_ = 0;
};

template <class Field, class T>
class Tracked {
public:
    Tracked(const ObservationRegistrar<Field>& registrar, Field field, T initial = T{})
        : registrar_(registrar), field_(field), value_(std::move(initial)) {}
    Tracked(const Tracked&) = delete;
    Tracked& operator=(const Tracked&) = delete;

    const T& get() const noexcept { return value_; }
    const T& operator()() const noexcept { return value_; }

    // Stores `value`; tells the observers only when it differs by !=.
    void set(T value) {
        const bool differs = value != value_;
        value_ = std::move(value);
        if (differs) registrar_.changed(field_);
    }

private:
    const ObservationRegistrar<Field>& registrar_;
    const Field field_;
    T value_;
};

} // namespace velorinth
