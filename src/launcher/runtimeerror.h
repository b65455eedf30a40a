// A run-time error as the launcher shows or logs it: the number and the
// description of whatever a step threw.
#pragma once

#include <QString>

#include <exception>
#include <optional>

namespace kv {

struct RunTimeError {
    int number = 0;
    QString description;
};

// Database errors keep their own number; the others get the number of the
// run-time error they stand for. nullopt for what is no error of ours to
// describe (neither a database error nor a std::exception).
std::optional<RunTimeError> runTimeErrorOf(std::exception_ptr thrown);

// The box's text: "Run-time error '<number>':" and the description.
QString runTimeErrorText(const RunTimeError &error);

} // namespace kv
