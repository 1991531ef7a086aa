// A growable string stream whose str() hands the text over and starts a new one.
#pragma once

#include <algorithm>
#include <cstring>
#include <ostream>
#include <streambuf>
#include <string>

namespace kmt {

template <class C> class basic_stringstreambuf : public std::basic_streambuf<C> {
public:
    using Base = std::basic_streambuf<C>;
    using traits = typename Base::traits_type;
    using int_type = typename Base::int_type;

    basic_stringstreambuf() { grow(0); }

    // Everything written so far; the buffer starts over with a new empty string.
    std::basic_string<C> take() {
        size_t written = static_cast<size_t>(this->pptr() - this->pbase());
        buffer.resize(written);
        std::basic_string<C> result = std::move(buffer);
        buffer = std::basic_string<C>();
        this->setg(nullptr, nullptr, nullptr);
        this->setp(nullptr, nullptr);
        grow(0);
        return result;
    }

    // Resizes the owned string (new characters zero) keeping the get and put offsets.
    void grow(size_t newSize) {
        C* oldBase = this->pbase();
        size_t putOffset = oldBase ? static_cast<size_t>(this->pptr() - oldBase) : 0;
        size_t getOffset = this->eback() ? static_cast<size_t>(this->gptr() - this->eback()) : 0;
        size_t getEnd = this->eback() ? static_cast<size_t>(this->egptr() - this->eback()) : 0;
        buffer.resize(newSize, C());
        C* data = &buffer[0];
        this->setp(data, data + buffer.size());
        this->pbump(static_cast<int>(putOffset));
        getEnd = std::min(getEnd, buffer.size());
        this->setg(data, data + std::min(getOffset, getEnd), data + getEnd);
    }

    size_t size() const { return buffer.size(); }

protected:
    int_type overflow(int_type c) override {
        size_t size = buffer.size();
        size_t newSize = size == 0 ? buffer.capacity() : size + size / 2 + 1;
        grow(newSize);
        if (traits::eq_int_type(c, traits::eof()))
            return traits::not_eof(c);
        *this->pptr() = traits::to_char_type(c);
        this->pbump(1);
        return c;
    }

    std::streamsize xsputn(const C* s, std::streamsize n) override {
        if (n <= 0)
            return 0;
        size_t written = static_cast<size_t>(this->pptr() - this->pbase());
        if (this->epptr() - this->pptr() < n) {
            size_t needed = written + static_cast<size_t>(n);
            size_t size = buffer.size();
            if (size < needed)
                grow(std::max(size + size / 2, needed));
        }
        traits::copy(this->pptr(), s, static_cast<size_t>(n));
        this->pbump(static_cast<int>(n));
        return n;
    }

    std::streamsize showmanyc() override { return this->egptr() - this->gptr(); }

    std::streamsize xsgetn(C* s, std::streamsize n) override {
        std::streamsize avail = this->egptr() - this->gptr();
        std::streamsize count = std::min(avail, n);
        if (count > 0) {
            traits::copy(s, this->gptr(), static_cast<size_t>(count));
            this->gbump(static_cast<int>(count));
        }
        return count;
    }

private:
    std::basic_string<C> buffer;
};

template <class C, class Base = std::basic_ostream<C>> class basic_stringstream : public Base {
public:
    basic_stringstream() : Base(nullptr) { this->rdbuf(&buf); }
    basic_stringstream(const basic_stringstream&) = delete;
    basic_stringstream& operator=(const basic_stringstream&) = delete;

    std::basic_string<C> str() { return buf.take(); }
    basic_stringstreambuf<C>& buffer() { return buf; }

private:
    basic_stringstreambuf<C> buf;
};

using stringstream = basic_stringstream<char, std::ostream>;

} // namespace kmt
