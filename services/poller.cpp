#include "services/poller.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <numeric>
#include <tuple>
#include <utility>

#include "base/errors.h"
#include "codec/addresses.h"
#include "codec/long_frames.h"
#include "codec/plc_commands.h"
#include "services/reading_cell.h"
#include "station/station_worker.h"

namespace mew {

namespace {

using Clock = std::chrono::steady_clock;

struct TypeName {
    std::string_view name;
    PointType type;
};
constexpr TypeName kTypes[] = {{"bool", PointType::kBool},   {"uint16", PointType::kUint16},
                               {"int16", PointType::kInt16}, {"uint32", PointType::kUint32},
                               {"int32", PointType::kInt32}, {"float32", PointType::kFloat32}};

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

Clock::duration span(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

bool same_value(const PointValue &a, const PointValue &b) {
    if (a.index() != b.index()) return false;
    if (const double *x = std::get_if<double>(&a)) {
        const double y = std::get<double>(b);
        return *x == y || (std::isnan(*x) && std::isnan(y));
    }
    return a == b;
}

std::string describe_error(std::exception_ptr error, bool *io_error) {
    runtime::ErrorInfo info = runtime::describe(error);
    *io_error = info.io_error;
    return info.message.empty() ? info.type_name : info.type_name + ": " + info.message;
}

}  // namespace

PointType parse_point_type(std::string_view name) {
    for (const TypeName &t : kTypes)
        if (t.name == name) return t.type;
    throw ValueError("unknown point type '" + std::string(name) +
                     "' (one of bool, uint16, int16, uint32, int32, float32)");
}

std::string_view point_type_name(PointType type) {
    for (const TypeName &t : kTypes)
        if (t.type == type) return t.name;
    return "?";
}

std::int64_t point_width(PointType type) {
    switch (type) {
        case PointType::kUint32:
        case PointType::kInt32:
        case PointType::kFloat32:
            return 2;
        default:
            return 1;
    }
}

PointAddress parse_point_address(std::string_view address) {
    const MewAddress parsed = parse_address(address);
    PointAddress out;
    switch (parsed.area->form) {
        case AddressForm::kContact:
            out.kind = PointAddress::kContact;
            break;
        case AddressForm::kWord:
            out.kind = PointAddress::kContactWord;
            break;
        case AddressForm::kRegister:
            out.kind = PointAddress::kRegister;
            break;
        case AddressForm::kTimer:
            // Their values come with commands of their own, which a poll does not group.
            throw ValueError("a poller reads registers, words of contacts and contacts; " + parsed.name() +
                             " is the value of a timer or counter");
    }
    out.area = parsed.area->letter;
    out.word = parsed.word();
    out.bit = parsed.bit();
    out.last_word = parsed.area->last;
    return out;
}

void check_point(const PointAddress &address, PointType type) {
    if ((address.kind == PointAddress::kContact) != (type == PointType::kBool))
        throw ValueError(address.kind == PointAddress::kContact
                             ? "a single contact is read as bool, not " + std::string(point_type_name(type))
                             : "bool is the type of a single contact (X0010), not of a word");
    const std::int64_t last = address.last_word;
    if (address.word + point_width(type) - 1 > last)
        throw ValueError("a " + std::string(point_type_name(type)) + " at word " +
                         std::to_string(address.word) + " ends beyond the last address of its area (" +
                         std::to_string(last) + ")");
}

PointValue decode_point(PointType type, int bit, const MewMaster::Words &words, std::size_t offset) {
    if (offset + static_cast<std::size_t>(point_width(type)) > words.size())
        throw IOError("Poller: fewer words read than asked for");
    const std::int64_t w0 = words[offset];
    switch (type) {
        case PointType::kBool:
            return static_cast<bool>((w0 >> bit) & 1);
        case PointType::kUint16:
            return w0;
        case PointType::kInt16:
            return w0 < 32768 ? w0 : w0 - 65536;
        case PointType::kUint32:
        case PointType::kInt32: {
            const std::int64_t u = (words[offset + 1] * 65536) | w0;
            return type == PointType::kUint32 || u < 2147483648LL ? u : u - 4294967296LL;
        }
        case PointType::kFloat32:
            return frames::words_float(w0, words[offset + 1]);
    }
    return std::monostate{};
}

std::vector<ReadCommand> plan_reads(const std::vector<PointDef> &points, std::int64_t max_words,
                                    std::int64_t max_gap) {
    if (max_words < 2) throw ValueError("max_words must be at least 2: " + std::to_string(max_words));
    if (max_gap < 0) throw ValueError("max_gap must not be negative: " + std::to_string(max_gap));
    // A single contact is read through its word: the same command as a contact word.
    auto kind = [](const PointDef &p) {
        return p.address.kind == PointAddress::kRegister ? PointAddress::kRegister
                                                         : PointAddress::kContactWord;
    };
    std::vector<std::size_t> order(points.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) {
        const PointDef &a = points[i], &b = points[j];
        return std::make_tuple(a.station, a.period, kind(a), a.address.area, a.address.word) <
               std::make_tuple(b.station, b.period, kind(b), b.address.area, b.address.word);
    });
    std::vector<ReadCommand> out;
    for (std::size_t i : order) {
        const PointDef &p = points[i];
        const std::int64_t first = p.address.word, end = first + point_width(p.type);
        if (!out.empty()) {
            ReadCommand &c = out.back();
            const std::int64_t c_end = c.start + c.count;
            if (c.station == p.station && c.period == p.period && c.kind == kind(p) &&
                c.area == p.address.area && first - c_end <= max_gap &&
                std::max(end, c_end) - c.start <= max_words) {
                c.count = std::max(end, c_end) - c.start;
                c.points.push_back(i);
                continue;
            }
        }
        ReadCommand c;
        c.station = p.station;
        c.period = p.period;
        c.kind = kind(p);
        c.area = p.address.area;
        c.start = first;
        c.count = end - first;
        c.points.push_back(i);
        out.push_back(std::move(c));
    }
    return out;
}

std::string command_address(const ReadCommand &command) {
    std::string area;
    if (command.kind == PointAddress::kContactWord)
        area = std::string("W") + command.area;
    else
        area = command.area == 'D' ? "DT" : command.area == 'L' ? "LD" : command.area == 'F' ? "FL" : "S";
    return area + std::to_string(command.start);
}

// --- The poller's shared state ---

struct Poller::Core {
    struct Point {
        std::string name;
        PointDef def;
        ReadingCell<PointValue> cell;  // what readers see, without a lock
        std::atomic<bool> removed{false};
        // The polling thread's own: what it stored last.
        PointValue value;
        double time = 0;
        double changed = 0;
        std::shared_ptr<const std::string> error;

        void publish() { cell.store(value, time, changed, error); }
        PointReading reading() const {
            ReadingCell<PointValue>::Copy c = cell.load();
            PointReading r;
            r.value = std::move(c.value);
            r.time = c.time;
            r.changed = c.changed;
            if (c.error) r.error = *c.error;
            return r;
        }
    };
    struct Slot {
        std::shared_ptr<Point> point;
        std::size_t offset;
    };
    struct Command {
        ReadCommand read;
        std::string address;
        std::vector<Slot> slots;
    };
    struct Group {
        std::int64_t station;
        double period;
        std::vector<Command> commands;
    };
    struct Plan {
        std::uint64_t version = 0;
        std::int64_t master_limit = 0;
        std::vector<Group> groups;
        std::int64_t commands = 0;
        std::map<std::int64_t, double> shortest_period;  // by station
    };

    Core(std::shared_ptr<MewMaster> m, Options o, Sink s)
        : master(std::move(m)), options(o), sink(std::move(s)) {}

    const std::shared_ptr<MewMaster> master;
    const Options options;
    Sink sink;  // used by the thread only; reset once it is joined for good

    mutable std::mutex mutex;
    std::condition_variable wake;
    std::unordered_map<std::string, std::shared_ptr<Point>> points;
    std::vector<std::shared_ptr<Point>> order;  // as added, for a plan that does not depend on hashing
    std::uint64_t version = 1;
    mutable std::shared_ptr<const Plan> plan;

    std::atomic<std::uint64_t> cycles{0};
    // Whether the sink wants the changes: a cycle with nobody to tell
    // collects none.
    std::atomic<bool> listening{true};
    // The running thread and its stop flag, for a stop from the sink.
    std::atomic<std::thread::id> thread_id{};
    std::atomic<std::atomic<bool> *> own_token{nullptr};

    // The plan for the points as they are now. The lock is held only to
    // look and to copy the list of points: a reader of the cache never waits
    // for a plan being made.
    std::shared_ptr<const Plan> current_plan() const {
        const std::int64_t limit = master->format().max_read_words;
        std::vector<std::shared_ptr<Point>> points;
        std::uint64_t wanted;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (plan && plan->version == version && plan->master_limit == limit) return plan;
            points = order;
            wanted = version;
        }
        std::shared_ptr<const Plan> built = make_plan(points, wanted, limit);
        std::lock_guard<std::mutex> lock(mutex);
        if (!plan || plan->version < wanted || (plan->version == wanted && plan->master_limit != limit))
            plan = built;
        return built;
    }

    std::shared_ptr<const Plan> make_plan(const std::vector<std::shared_ptr<Point>> &points,
                                          std::uint64_t wanted, std::int64_t limit) const {
        auto built = std::make_shared<Plan>();
        built->version = wanted;
        built->master_limit = limit;
        std::vector<PointDef> defs;
        defs.reserve(points.size());
        for (const auto &p : points) defs.push_back(p->def);
        const std::int64_t words = limit > 0 ? std::max<std::int64_t>(limit, 2) : options.max_words;
        for (ReadCommand &read : plan_reads(defs, words, options.max_gap)) {
            if (built->groups.empty() || built->groups.back().station != read.station ||
                built->groups.back().period != read.period)
                built->groups.push_back({read.station, read.period, {}});
            Command command{read, command_address(read), {}};
            for (std::size_t i : read.points)
                command.slots.push_back(
                    {points[i], static_cast<std::size_t>(points[i]->def.address.word - read.start)});
            // The master cuts a read longer than its limit into several commands.
            built->commands += limit > 0 ? (read.count + limit - 1) / limit : 1;
            built->groups.back().commands.push_back(std::move(command));
            auto [it, fresh] = built->shortest_period.emplace(read.station, read.period);
            if (!fresh) it->second = std::min(it->second, read.period);
        }
        return built;
    }

    void notify() {
        { std::lock_guard<std::mutex> lock(mutex); }
        wake.notify_all();
    }

    std::shared_ptr<const Point> find(const std::string &name) const;
    void run(const std::atomic<bool> &stop);
    class Runner;
};

namespace {

// How a station is doing, as the thread keeps it between cycles.
struct Health {
    bool down = false;
    double backoff = 0;  // the wait before the next try, seconds
    Clock::time_point retry_at{};
    std::string error;
};

}  // namespace

class Poller::Core::Runner {
public:
    using Core = Poller::Core;

    explicit Runner(Core &core) : core_(core) {}

    void run(const std::atomic<bool> &stop) {
        while (!stop.load()) {
            std::shared_ptr<const Core::Plan> plan = core_.current_plan();
            if (plan != plan_) adopt(std::move(plan));
            if (!wait_until_due(stop)) continue;
            std::vector<PointChange> changes;
            pass(stop, changes);
            core_.cycles.fetch_add(1);
            if (!changes.empty() && core_.sink) {
                try {
                    core_.sink(std::move(changes));
                } catch (...) {
                    report_unhandled(std::current_exception());
                }
            }
        }
    }

private:
    Core &core_;
    std::shared_ptr<const Core::Plan> plan_;
    std::vector<Clock::time_point> due_;  // by group of the plan
    std::map<std::int64_t, Health> health_;

    // A group keeps its schedule through a change of plan; a new one is due at once.
    void adopt(std::shared_ptr<const Core::Plan> plan) {
        std::map<std::pair<std::int64_t, double>, Clock::time_point> before;
        if (plan_)
            for (std::size_t i = 0; i < plan_->groups.size(); ++i)
                before.emplace(std::make_pair(plan_->groups[i].station, plan_->groups[i].period), due_[i]);
        const Clock::time_point now = Clock::now();
        due_.assign(plan->groups.size(), now);
        for (std::size_t i = 0; i < plan->groups.size(); ++i) {
            auto it = before.find({plan->groups[i].station, plan->groups[i].period});
            if (it != before.end()) due_[i] = std::min(it->second, now + span(plan->groups[i].period));
        }
        plan_ = std::move(plan);
    }

    // True once a group is due; false when woken for a new plan or a stop.
    bool wait_until_due(const std::atomic<bool> &stop) {
        std::unique_lock<std::mutex> lock(core_.mutex);
        const std::uint64_t seen = plan_->version;
        auto woken = [&] { return stop.load() || core_.version != seen; };
        if (due_.empty()) {
            core_.wake.wait(lock, woken);
            return false;
        }
        const Clock::time_point due = *std::min_element(due_.begin(), due_.end());
        if (core_.wake.wait_until(lock, due, woken)) return false;
        return Clock::now() >= due;
    }

    void pass(const std::atomic<bool> &stop, std::vector<PointChange> &changes) {
        // Groups due together stay together: their next time counts from the
        // pass, not from when each was read.
        const Clock::time_point begin = Clock::now();
        std::vector<std::size_t> retries;  // groups of silent stations due for a try
        for (std::size_t g = 0; g < plan_->groups.size() && !stop.load(); ++g) {
            const Core::Group &group = plan_->groups[g];
            if (due_[g] > begin) continue;
            // Missed periods are skipped, not caught up.
            due_[g] += span(group.period);
            if (due_[g] <= begin) due_[g] = begin + span(group.period);
            Health &health = health_[group.station];
            if (health.down) {
                if (Clock::now() < health.retry_at)
                    mark_unread(group, health.error);
                else
                    retries.push_back(g);
                continue;
            }
            read_group(group, health, stop, changes);
        }
        if (retries.empty() || stop.load()) return;
        // One silent station is tried per pass, the one waiting longest, and
        // last: after a time-out the master lets its next query wait for a
        // late answer, and that wait then overlaps the pause before the next
        // pass instead of delaying the stations that answer.
        std::int64_t station = plan_->groups[retries.front()].station;
        for (std::size_t g : retries) {
            const std::int64_t s = plan_->groups[g].station;
            if (health_[s].retry_at < health_[station].retry_at) station = s;
        }
        for (std::size_t g : retries) {
            const Core::Group &group = plan_->groups[g];
            Health &health = health_[group.station];
            // Once the try failed, the station's other groups wait for the next step.
            if (group.station == station && !(health.down && Clock::now() < health.retry_at))
                read_group(group, health, stop, changes);
            else
                mark_unread(group, health.error);
        }
    }

    // False when the station did not answer.
    bool read_group(const Core::Group &group, Health &health, const std::atomic<bool> &stop,
                    std::vector<PointChange> &changes) {
        for (const Core::Command &command : group.commands) {
            if (stop.load()) return true;
            if (!read(group.station, command, health, changes)) return false;
        }
        return true;
    }

    // False when the station did not answer: the rest of its commands wait.
    bool read(std::int64_t station, const Core::Command &command, Health &health,
              std::vector<PointChange> &changes) {
        std::exception_ptr failure;
        try {
            MewMaster &master = *core_.master;
            const MewMaster::Words words =
                command.read.kind == PointAddress::kContactWord
                    ? master.get_multi_coil_uint16(station, command.address, command.read.count)
                    : master.get_multi_uint16(station, command.address, command.read.count);
            // Every point of the command lies within its count.
            if (words.size() < static_cast<std::size_t>(command.read.count))
                throw IOError("Poller: fewer words read than asked for");
            health = Health{};
            store(command, words, changes);
            return true;
        } catch (...) {
            failure = std::current_exception();
        }
        bool silent = false;
        bool device_answered = false;
        try {
            std::rethrow_exception(failure);
        } catch (const DeviceError &) {
            device_answered = true;
        } catch (...) {
        }
        std::string error = describe_error(failure, &silent);
        failure = nullptr;
        if (device_answered || !silent) {
            set_error(command.slots, error);
            return true;
        }
        // Silent: one time-out, then back-off from the station's period.
        const double period = plan_->shortest_period.at(station);
        health.backoff = health.down ? std::min(health.backoff * 2, core_.options.max_backoff)
                                     : std::min(period, core_.options.max_backoff);
        health.down = true;
        health.retry_at = Clock::now() + span(health.backoff);
        health.error = error;
        for (const Core::Group &group : plan_->groups)
            if (group.station == station)
                for (const Core::Command &c : group.commands) set_error(c.slots, error);
        return false;
    }

    // No lock: each point's cell is written here only, and read anywhere.
    void store(const Core::Command &command, const MewMaster::Words &words,
               std::vector<PointChange> &changes) {
        const double now = wall_seconds();
        const bool collect = core_.listening.load(std::memory_order_relaxed);
        for (const Core::Slot &slot : command.slots) {
            Core::Point &p = *slot.point;
            if (p.removed.load(std::memory_order_relaxed)) continue;
            const PointValue value = decode_point(p.def.type, p.def.address.bit, words, slot.offset);
            p.error.reset();
            p.time = now;
            if (!same_value(p.value, value)) {
                p.value = value;
                p.changed = now;
                if (collect) changes.push_back({p.name, value, now});
            }
            p.publish();
        }
    }

    void set_error(const std::vector<Core::Slot> &slots, const std::string &error) {
        auto shared = std::make_shared<const std::string>(error);
        for (const Core::Slot &slot : slots) {
            Core::Point &p = *slot.point;
            if (p.error && *p.error == error) continue;
            p.error = shared;
            p.publish();
        }
    }

    // A group skipped while its station backs off: points added since the
    // station went silent learn why they have no value.
    void mark_unread(const Core::Group &group, const std::string &error) {
        std::shared_ptr<const std::string> shared;
        for (const Core::Command &c : group.commands)
            for (const Core::Slot &slot : c.slots) {
                Core::Point &p = *slot.point;
                if (p.error) continue;
                if (!shared) shared = std::make_shared<const std::string>(error);
                p.error = shared;
                p.publish();
            }
    }
};

void Poller::Core::run(const std::atomic<bool> &stop) {
    Runner(*this).run(stop);
}

// --- The poller ---

Poller::Poller(std::shared_ptr<MewMaster> master, Options options, Sink sink, MakeThread make_thread)
    : options_(options), make_thread_(std::move(make_thread)) {
    if (!master) throw ValueError("a poller needs a master");
    if (options.max_words < 2)
        throw ValueError("max_words must be at least 2: " + std::to_string(options.max_words));
    if (options.max_gap < 0)
        throw ValueError("max_gap must not be negative: " + std::to_string(options.max_gap));
    if (!(options.max_backoff > 0) || std::isinf(options.max_backoff))
        throw ValueError("max_backoff must be a positive number of seconds");
    core_ = std::make_shared<Core>(std::move(master), options, std::move(sink));
}

Poller::~Poller() {
    try {
        close();
    } catch (...) {
        report_unhandled(std::current_exception());
    }
}

std::string Poller::add(std::int64_t station, std::string_view address, std::string_view type, double period,
                        std::optional<std::string> name) {
    PointDef def;
    def.station = station;
    def.address = parse_point_address(address);
    def.type = parse_point_type(type);
    check_point(def.address, def.type);
    if (!(period > 0) || std::isinf(period))
        throw ValueError("period must be a positive number of seconds, not " + std::to_string(period));
    def.period = period;
    // The station as the master would number it in a command.
    frames::station_field_value(station, core_->master->format().decimal_stations);
    auto point = std::make_shared<Core::Point>();
    point->name = name ? *name : std::to_string(station) + ":" + std::string(address);
    point->def = def;
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        if (core_->points.count(point->name)) throw ValueError("a point named '" + point->name + "' exists");
        core_->points.emplace(point->name, point);
        core_->order.push_back(point);
        ++core_->version;
    }
    core_->wake.notify_all();
    return point->name;
}

bool Poller::remove(const std::string &name) {
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        auto it = core_->points.find(name);
        if (it == core_->points.end()) return false;
        it->second->removed.store(true, std::memory_order_relaxed);
        core_->order.erase(std::find(core_->order.begin(), core_->order.end(), it->second));
        core_->points.erase(it);
        ++core_->version;
    }
    core_->wake.notify_all();
    return true;
}

bool Poller::on_own_thread() const {
    return core_->thread_id.load() == std::this_thread::get_id();
}

void Poller::start() {
    if (closed_.load()) throw ValueError("the poller is closed");
    if (on_own_thread()) return;  // called from the sink: running already
    std::lock_guard<std::mutex> lock(life_mutex_);
    if (closed_.load()) throw ValueError("the poller is closed");
    if (thread_ && !stop_token_->load()) return;
    if (thread_) {
        // Stopped from its own sink and ending: wait for it first, so that
        // two threads never poll at once.
        if (!owner_.foreign()) thread_->join();
        thread_.reset();
    }
    auto token = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<Core> core = core_;
    std::unique_ptr<runtime::WorkerThread> thread = make_thread_([core, token] {
        // Nothing may leave the thread.
        try {
            core->own_token = token.get();
            core->thread_id = std::this_thread::get_id();
            core->run(*token);
        } catch (...) {
            report_unhandled(std::current_exception());
        }
        core->thread_id = std::thread::id();
        core->own_token = nullptr;
    });
    // Running before the thread starts: its sink may stop it in its first
    // cycle, before the start is back here, and that stop is the last word.
    running_ = true;
    try {
        thread->start();
    } catch (...) {
        running_ = false;
        throw;
    }
    thread_ = std::move(thread);
    stop_token_ = std::move(token);
}

void Poller::stop() {
    if (on_own_thread()) {
        // From the sink: the thread ends once the sink returns. Taking the
        // lock here could wait for a stop() that waits for this thread.
        if (std::atomic<bool> *token = core_->own_token.load()) token->store(true);
        running_ = false;
        core_->notify();
        return;
    }
    std::lock_guard<std::mutex> lock(life_mutex_);
    if (!thread_) return;
    stop_token_->store(true);
    running_ = false;
    core_->notify();
    // In a forked child the thread is the parent's: nothing to wait for.
    if (!owner_.foreign()) thread_->join();
    thread_.reset();
}

void Poller::close() {
    closed_ = true;
    stop();
    if (on_own_thread()) return;
    // Joined for good: the sink (and what it holds) goes now.
    std::lock_guard<std::mutex> lock(life_mutex_);
    if (!thread_) core_->sink = nullptr;
}

bool Poller::running() const {
    return running_.load();
}

std::shared_ptr<const Poller::Core::Point> Poller::Core::find(const std::string &name) const {
    // Held for the look-up only: the polling thread takes this lock once a
    // cycle, never while it reads the line or stores values.
    std::lock_guard<std::mutex> lock(mutex);
    auto it = points.find(name);
    if (it == points.end()) return nullptr;
    return it->second;
}

std::optional<PointReading> Poller::reading(const std::string &name) const {
    std::shared_ptr<const Core::Point> point = core_->find(name);
    if (!point) return std::nullopt;
    return point->reading();
}

std::optional<PointValue> Poller::value(const std::string &name) const {
    std::shared_ptr<const Core::Point> point = core_->find(name);
    if (!point) return std::nullopt;
    return point->cell.load().value;
}

std::vector<std::pair<std::string, PointReading>> Poller::snapshot() const {
    std::vector<std::shared_ptr<Core::Point>> points;
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        points = core_->order;
    }
    std::vector<std::pair<std::string, PointReading>> out;
    out.reserve(points.size());
    for (const auto &p : points) out.emplace_back(p->name, p->reading());
    return out;
}

void Poller::listen(bool wanted) {
    core_->listening.store(wanted);
}

std::vector<std::string> Poller::names() const {
    std::lock_guard<std::mutex> lock(core_->mutex);
    std::vector<std::string> out;
    out.reserve(core_->order.size());
    for (const auto &p : core_->order) out.push_back(p->name);
    return out;
}

std::int64_t Poller::commands_per_cycle() const {
    return core_->current_plan()->commands;
}

std::uint64_t Poller::cycles() const {
    return core_->cycles.load();
}

}  // namespace mew
