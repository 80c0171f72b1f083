// The readable reports' tables (--stats, the comparison's text): aligned
// columns, each as wide as its widest cell, text to the left, numbers to the
// right, two blanks between, no trailing blanks, each line indented by two.
//
//   Columns t({{"event", false}, {"count", true}});  t.row({"DMA Start", "3"});  t.write(out);
#pragma once

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace qelttrace {

class Columns {
  public:
    struct Head {
        std::string name;
        bool number;
    };
    explicit Columns(std::vector<Head> heads) : heads_(std::move(heads)) {}
    void row(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
    void write(std::string& out) const {
        std::vector<std::size_t> width(heads_.size(), 0);
        for (std::size_t c = 0; c < heads_.size(); ++c) {
            width[c] = heads_[c].name.size();
            for (const auto& cells : rows_) {
                if (c < cells.size()) width[c] = std::max(width[c], cells[c].size());
            }
        }
        std::vector<std::string> heads;
        for (const Head& h : heads_) heads.push_back(h.name);
        line(out, heads, width);
        for (const auto& cells : rows_) line(out, cells, width);
    }

  private:
    void line(std::string& out, const std::vector<std::string>& cells,
              const std::vector<std::size_t>& width) const {
        std::string text = "  ";
        for (std::size_t c = 0; c < heads_.size(); ++c) {
            const std::string& cell = c < cells.size() ? cells[c] : std::string();
            const std::string pad(width[c] - std::min(width[c], cell.size()), ' ');
            if (c > 0) text += "  ";
            text += heads_[c].number ? pad + cell : cell + pad;
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out += text + '\n';
    }

    std::vector<Head> heads_;
    std::vector<std::vector<std::string>> rows_;
};

}  // namespace qelttrace
