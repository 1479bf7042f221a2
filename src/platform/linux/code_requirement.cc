#include "platform/linux/code_requirement.h"

#include <optional>
#include <utility>

namespace kelmarind::platform::linux {
namespace {

enum class TokenKind { end, word, string, open, close, bang, leftBracket, rightBracket, equals };

struct Token {
  TokenKind kind = TokenKind::end;
  std::string text;  // the word, or the string's unescaped contents
};

bool isWordByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  std::expected<Token, RequirementStatus> next() {
    while (at_ < text_.size() && isSpace(text_[at_])) ++at_;
    if (at_ == text_.size()) return Token{};
    const char c = text_[at_];
    if (c == '"') return quoted();
    if (isWordByte(c)) {
      const std::size_t start = at_;
      while (at_ < text_.size() && isWordByte(text_[at_])) ++at_;
      return Token{TokenKind::word, std::string(text_.substr(start, at_ - start))};
    }
    ++at_;
    switch (c) {
      case '(':
        return Token{TokenKind::open, {}};
      case ')':
        return Token{TokenKind::close, {}};
      case '!':
        return Token{TokenKind::bang, {}};
      case '[':
        return Token{TokenKind::leftBracket, {}};
      case ']':
        return Token{TokenKind::rightBracket, {}};
      case '=':
        return Token{TokenKind::equals, {}};
      default:
        return std::unexpected(RequirementStatus::unexpectedToken);
    }
  }

 private:
  std::expected<Token, RequirementStatus> quoted() {
    Token token{TokenKind::string, {}};
    for (++at_; at_ < text_.size(); ++at_) {
      const char c = text_[at_];
      if (c == '"') {
        ++at_;
        return token;
      }
      if (c == '\\') {
        if (at_ + 1 == text_.size()) break;
        if (text_[at_ + 1] != '"') return std::unexpected(RequirementStatus::badEscape);
        ++at_;
      }
      token.text += text_[at_];
    }
    return std::unexpected(RequirementStatus::unterminatedString);
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace

// Recursive descent with one token of lookahead; emits the postfix program as
// each construct is recognised. Depth is bounded so hostile nesting cannot
// exhaust the stack.
class RequirementParser {
 public:
  explicit RequirementParser(std::string_view text) : lexer_(text) {}

  std::expected<CodeRequirement, RequirementStatus> parse() {
    if (auto status = advance(); status != RequirementStatus::ok) return std::unexpected(status);
    if (auto status = requirement(0); status != RequirementStatus::ok) {
      return std::unexpected(status);
    }
    if (token_.kind != TokenKind::end) return std::unexpected(RequirementStatus::trailingText);
    return std::move(result_);
  }

 private:
  using Op = CodeRequirement::Op;

  RequirementStatus advance() {
    auto next = lexer_.next();
    if (!next) return next.error();
    token_ = std::move(*next);
    return RequirementStatus::ok;
  }

  bool atWord(std::string_view word) const {
    return token_.kind == TokenKind::word && token_.text == word;
  }

  void emit(Op op, std::uint32_t operand = 0) { result_.program_.push_back({op, operand}); }

  // The status for a token the grammar does not allow here.
  RequirementStatus misplaced() const {
    return token_.kind == TokenKind::end ? RequirementStatus::unexpectedEnd
                                         : RequirementStatus::unexpectedToken;
  }

  RequirementStatus expect(TokenKind kind) { return token_.kind == kind ? advance() : misplaced(); }

  RequirementStatus expectWord(std::string_view word) {
    return atWord(word) ? advance() : misplaced();
  }

  RequirementStatus binary(int depth, std::string_view word, Op op,
                           RequirementStatus (RequirementParser::*operand)(int)) {
    if (auto status = (this->*operand)(depth); status != RequirementStatus::ok) return status;
    while (atWord(word)) {
      if (auto status = advance(); status != RequirementStatus::ok) return status;
      if (auto status = (this->*operand)(depth); status != RequirementStatus::ok) return status;
      emit(op);
    }
    return RequirementStatus::ok;
  }

  RequirementStatus requirement(int depth) {
    return binary(depth, "or", Op::either, &RequirementParser::term);
  }

  RequirementStatus term(int depth) {
    return binary(depth, "and", Op::both, &RequirementParser::factor);
  }

  RequirementStatus factor(int depth) {
    if (token_.kind == TokenKind::bang || token_.kind == TokenKind::open) {
      if (depth >= maxRequirementDepth) return RequirementStatus::nestedTooDeeply;
      const bool isNegation = token_.kind == TokenKind::bang;
      if (auto status = advance(); status != RequirementStatus::ok) return status;
      if (isNegation) {
        if (auto status = factor(depth + 1); status != RequirementStatus::ok) return status;
        emit(Op::negate);
        return RequirementStatus::ok;
      }
      if (auto status = requirement(depth + 1); status != RequirementStatus::ok) return status;
      return expect(TokenKind::close);
    }
    return clause();
  }

  RequirementStatus clause() {
    if (token_.kind != TokenKind::word) return misplaced();
    if (atWord("identifier")) return identifierClause();
    if (atWord("anchor")) return anchorClause();
    if (atWord("certificate") || atWord("cert")) return certificateClause();
    return RequirementStatus::unknownClause;
  }

  RequirementStatus identifierClause() {
    if (auto status = advance(); status != RequirementStatus::ok) return status;
    if (token_.kind == TokenKind::equals) {
      if (auto status = advance(); status != RequirementStatus::ok) return status;
    }
    if (token_.kind != TokenKind::string) return misplaced();
    emit(Op::matchIdentifier, static_cast<std::uint32_t>(result_.identifiers_.size()));
    result_.identifiers_.push_back(std::move(token_.text));
    return advance();
  }

  RequirementStatus anchorClause() {
    if (auto status = advance(); status != RequirementStatus::ok) return status;
    if (auto status = expectWord("apple"); status != RequirementStatus::ok) return status;
    if (atWord("generic")) {
      if (auto status = advance(); status != RequirementStatus::ok) return status;
    }
    emit(Op::never);
    return RequirementStatus::ok;
  }

  RequirementStatus certificateClause() {
    if (auto status = advance(); status != RequirementStatus::ok) return status;
    if (!isCertificatePosition()) return misplaced();
    if (auto status = advance(); status != RequirementStatus::ok) return status;
    if (auto status = expect(TokenKind::leftBracket); status != RequirementStatus::ok) {
      return status;
    }
    if (auto status = expect(TokenKind::word); status != RequirementStatus::ok) return status;
    if (auto status = expect(TokenKind::rightBracket); status != RequirementStatus::ok) {
      return status;
    }
    if (token_.kind == TokenKind::equals) {
      if (auto status = advance(); status != RequirementStatus::ok) return status;
      if (auto status = expect(TokenKind::string); status != RequirementStatus::ok) return status;
    } else if (atWord("exists")) {
      if (auto status = advance(); status != RequirementStatus::ok) return status;
    }
    emit(Op::never);
    return RequirementStatus::ok;
  }

  bool isCertificatePosition() const {
    if (atWord("leaf") || atWord("root") || atWord("anchor")) return true;
    if (token_.kind != TokenKind::word || token_.text.empty()) return false;
    std::string_view digits = token_.text;
    if (digits.front() == '-') digits.remove_prefix(1);
    return !digits.empty() && digits.size() <= 3 &&
           digits.find_first_not_of("0123456789") == std::string_view::npos;
  }

  Lexer lexer_;
  Token token_;
  CodeRequirement result_;
};

std::expected<CodeRequirement, RequirementStatus> CodeRequirement::compile(std::string_view text) {
  if (text.size() > maxRequirementLength) return std::unexpected(RequirementStatus::tooLong);
  return RequirementParser(text).parse();
}

bool CodeRequirement::isSatisfiedBy(const CodeIdentity& identity) const {
  // The parser only emits well-formed postfix, so every operator finds its
  // operands; the stack holds at most one value per step.
  std::vector<bool> stack;
  stack.reserve(program_.size());
  for (const Step& step : program_) {
    switch (step.op) {
      case Op::matchIdentifier:
        stack.push_back(identity.identifier == identifiers_[step.operand]);
        break;
      case Op::never:
        stack.push_back(false);
        break;
      case Op::negate:
        stack.back() = !stack.back();
        break;
      case Op::both:
      case Op::either: {
        const bool right = stack.back();
        stack.pop_back();
        stack.back() = step.op == Op::both ? (stack.back() && right) : (stack.back() || right);
        break;
      }
    }
  }
  return stack.size() == 1 && stack.back();
}

}  // namespace kelmarind::platform::linux
