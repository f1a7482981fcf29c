#pragma once
// Qt's texts print as text in a failure's message, not as the bytes of their characters.

#include <QString>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
