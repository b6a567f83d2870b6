#pragma once

#include <QString>
#include <stdexcept>

// The agent's own refusal: a message meant for the user, shown unchanged wherever the refusal
// surfaces (a log line, an HTTP answer, the menu's warning line).
class AgentError : public std::runtime_error {
public:
    enum class Kind { Invalid };

    static AgentError invalid(const QString& message) { return AgentError(Kind::Invalid, message); }
    // The cloud service's own error answer: its HTTP status and its text.
    static AgentError serviceAnswer(int status, const QString& message) {
        return AgentError(Kind::Invalid, message, status);
    }

    Kind kind() const { return m_kind; }
    const QString& message() const { return m_message; }
    // The HTTP status of a service answer; 0 for the agent's own refusals.
    int status() const { return m_status; }

private:
    AgentError(Kind kind, const QString& message, int status = 0)
        : std::runtime_error(message.toStdString()), m_kind(kind), m_message(message),
          m_status(status) {}

    Kind m_kind;
    QString m_message;
    int m_status;
};

// A failure of the operating system (a child that cannot start, a socket that cannot bind),
// carrying the failing call and the system's error text. Passed through unchanged by the core.
class SystemError : public std::runtime_error {
public:
    explicit SystemError(const QString& description)
        : std::runtime_error(description.toStdString()), m_description(description) {}

    const QString& description() const { return m_description; }

private:
    QString m_description;
};

// The user-facing description of any error the agent shows: the message of an AgentError, the
// description of a SystemError, the text of anything else.
QString errorDescription(const std::exception& error);
