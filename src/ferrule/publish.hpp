// The one path from the bridge onto event_queue. Every event is built as
// `Event(EVENT.<member>, **payload)` and appended here, so the hand-over is
// counted in one place: events published by type and events that overwrote
// an unread entry of a full queue.
#pragma once
#include <Python.h>

#include <cstddef>
#include <initializer_list>

#include "glue/names.hpp"
#include "glue/ref.hpp"
#include "glue/threads.hpp"

namespace ferrule {

// The EVENT members the bridge publishes, by name.
#define FERRULE_EVENTS(X)                                                                                       \
    X(TICK) X(L2_ORDER) X(L2_TRANSACTION) X(BAR)                                                                \
    X(LOGIN) X(QUERY_ACCOUNT) X(QUERY_POSITION)                                                                 \
    X(ORDER_CREATION_PASS) X(TRADE) X(ORDER_CANCELLATION_PASS) X(ORDER_PENDING_CANCEL)                          \
    X(ORDER_UNSOLICITED_UPDATE) X(ORDER_CANCELLATION_REJECT)                                                    \
    X(ALGO_LOGIN) X(PARENT_ORDER_CREATE) X(PARENT_ORDER_CANCEL) X(PARENT_ORDER_PAUSE) X(PARENT_ORDER_RESUME)    \
    X(PARENT_ORDER_UPDATE) X(CHILD_ORDER_UPDATE) X(CHILD_ORDER_TRADE)                                           \
    X(BEFORE_TRADING) X(OPEN_AUCTION) X(AFTER_TRADING)

// One kind per member; kDayEvent stands for a type handed in by the caller
// (send_day_event), counted under that member's name.
enum class EventKind : unsigned char {
#define FERRULE_EVENT_KIND(member) member,
    FERRULE_EVENTS(FERRULE_EVENT_KIND)
#undef FERRULE_EVENT_KIND
    kDayEvent,
};
constexpr std::size_t kEventKinds = static_cast<std::size_t>(EventKind::kDayEvent);

// The member's name ("TICK"), interned.
PyObject* event_name(EventKind kind);

// EVENT.<member>, looked up now through the module's EVENT.
glue::Ref event_type(EventKind kind);

// `Event(EVENT.<member>, **payload)` appended to event_queue, in the order
// Python evaluates it: `Event` and the member are looked up on construction,
// before the caller reads the payload values.
class EventCall {
public:
    explicit EventCall(EventKind kind);
    // A type object given by the caller instead of an EVENT member.
    explicit EventCall(PyObject* event_type);
    explicit operator bool() const noexcept { return static_cast<bool>(type_); }
    // One borrowed value per name of kw, in its order; 0, or -1 with the error set.
    int publish(PyObject* const* values, std::size_t n, const glue::KwNames& kw) const;
    int publish(std::initializer_list<PyObject*> values, const glue::KwNames& kw) const {
        return publish(values.begin(), values.size(), kw);
    }

private:
    EventKind kind_;
    glue::Ref cls_, type_;
};

// EventCall(kind).publish(values, kw) in one step, for values already in hand.
int publish_now(EventKind kind, std::initializer_list<PyObject*> values, const glue::KwNames& kw);

// Appends a built event to the module's event_queue and counts it: 0, or -1
// with the queue's error (nothing counted then).
int append_event(EventKind kind, PyObject* event_type, PyObject* event);

// Counters of the hand-over, read by stats().
struct PublishCounts {
    glue::Counter published[kEventKinds];
    glue::Counter overwritten;
};
const PublishCounts& publish_counts();
// Types outside EventKind (a day event of another member): name -> count.
PyObject* other_published();
void reset_publish_counts();

}  // namespace ferrule
