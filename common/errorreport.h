#pragma once

#include "failure.h"
#include "ui.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <new>
#include <optional>
#include <type_traits>

namespace talvenor {

// "in Hollisk2021/08/31.Form1.GetMailItems " and its kin.
QString windowLocation(const QString& procedure);     // Form1.<procedure>
QString folderScanLocation(const QString& procedure); // AddFolder.<procedure>

// The text of the uniform error report.
QString errorReportText(const QString& description, const QString& location, int step);
Message errorReportMessage(const QString& description, const QString& location, int step);

// A protected procedure written as its numbered steps. Each step runs inside the procedure's
// trap: a failure shows the uniform error report and the procedure carries on with the next
// step. A failure raised while the report itself is shown is not caught here; it passes to
// the caller.
class Procedure {
public:
    Procedure(IMessageBox& messages, QString location)
        : messages_(&messages), location_(std::move(location)) {}
    // A procedure whose failures all go to its filter, which words them itself.
    explicit Procedure(QString location) : location_(std::move(location)) {}

    // Runs a step; true when it completed, false when it failed and was reported.
    template <class F> bool step(int number, F&& action) {
        return guarded(number,
                       [&] {
                           action();
                           return true;
                       })
            .has_value();
    }

    // Runs a test. A test that fails counts as passed, so that the steps it guards run.
    template <class F> bool test(int number, F&& condition) {
        return guarded(number, [&] { return bool(condition()); }).value_or(true);
    }

    // Reads a value in a step, such as a loop's bounds or a collection; empty after a
    // reported failure, so that the caller skips what would have used it.
    template <class F> auto read(int number, F&& reader) -> std::optional<std::invoke_result_t<F>> {
        return guarded(number, std::forward<F>(reader));
    }

    int lastStep() const { return lastStep_; }
    const QString& location() const { return location_; }

    // Shows the report for a failure caught elsewhere in this procedure.
    void report(int number, const QString& description);

    // Sees every failure a step catches before it is reported; answering false keeps the
    // report from being shown, because the procedure accounts for the failure another way.
    using FailureFilter = std::function<bool(int step, const Failure& failure)>;
    void setFilter(FailureFilter filter) { filter_ = std::move(filter); }

private:
    template <class F>
    auto guarded(int number, F&& body) -> std::optional<std::invoke_result_t<F>> {
        lastStep_ = number;
        std::optional<Failure> failure;
        try {
            return body();
        } catch (const Failure& f) {
            failure = f;
        } catch (const std::bad_alloc&) {
            failure.emplace(Cause::OutOfMemory, failures::OutOfMemory,
                            QStringLiteral("Out of memory"));
        } catch (const std::exception& e) {
            failure.emplace(Cause::Other, failures::Internal, QString::fromUtf8(e.what()));
        }
        if (!filter_ || filter_(number, *failure))
            report(number, failure->description());
        return std::nullopt;
    }

    IMessageBox* messages_ = nullptr;
    QString location_;
    int lastStep_ = 0;
    FailureFilter filter_;
};

} // namespace talvenor
