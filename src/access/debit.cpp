// Count-limited cards (debit of a use, monthly refill, the debit date), the
// transaction row of every presentation and the display-message templates.
#include "access/checkdetail.h"
#include "access/checksteps.h"
#include "db/sql.h"
#include "platform/text.h"

namespace orlo {

bool DebitCard(TCardWrite& write, const TDecisionRows& rows, TDateTime transTime) {
  const TDBRow& card = rows.card;
  const TDBRow& cardType = rows.cardType;
  const bool debitFlg = cardType.FieldAsBoolean("debit_flg");
  const bool resetFlag = cardType.FieldAsBoolean("debit_reset_flag");
  if (!debitFlg && !resetFlag) return false;
  const long long t = detail::Ms(transTime);
  const TDBRow& holder = cardType.FieldAsBoolean("global_expiry") ? cardType : card;
  if (!(t > detail::Ms(holder.FieldAsDateTime("start_date")))) return false;
  // A repeated pass within the window after the last debit is free.
  const long long windowEnd = detail::PlusMinutesMs(card.FieldAsDateTime("debit_date"),
                                                    cardType.FieldAsInteger("debit_time_limit"));
  if (cardType.FieldAsBoolean("debit_time_limit_flg") && !(t > windowEnd)) return false;

  if (resetFlag && detail::Ms(card.FieldAsDateTime("debit_reset_date")) < t) {
    // The refilling pass takes the first of the new uses; the next refill is
    // due after the last second of this month.
    write.SetInteger("debit_left", static_cast<long long>(cardType.FieldAsInteger("uses")) - 1);
    write.SetDateTime("debit_reset_date", detail::MonthEnd(transTime));
  } else {
    write.SetInteger("debit_left", static_cast<long long>(card.FieldAsInteger("debit_left")) - 1);
  }
  return true;
}

void UpdateDebitDate(TCardWrite& write, TDateTime transTime) {
  write.SetDateTime("debit_date", transTime);
}

bool WriteTransaction(TODBCStatement& update, const TTransRecord& rec) {
  TSql sql(update);
  sql.AddFloat("card_no", rec.cardNo);
  sql.AddDateTime("dat_e", rec.when);
  sql.AddInt("device_id", rec.deviceId);
  sql.AddInt("error_code", rec.code);
  sql.AddField("error_desc", ResultText(rec.code), true);
  sql.AddFloat("cardno", rec.cardNo);
  sql.AddField("device_name", rec.deviceName, true);
  sql.AddField("first_name", rec.firstName, true);
  sql.AddField("last_name", rec.lastName, true);
  sql.AddInt("mem_flag", rec.memFlag ? 1 : 0);
  std::string text;
  sql.BuildInsert("INSERT INTO trans", "Values", text, "");
  // Run as built: the names may hold '%', so the text never passes a format step.
  return update.ExecSQL(text);
}

std::string ExpandMessageTemplate(const std::string& templ,
                                  const std::function<std::string(char code)>& field) {
  std::string out;
  for (std::size_t i = 0; i < templ.size(); ++i) {
    if (templ[i] != '%') {
      out += templ[i];
      continue;
    }
    if (++i >= templ.size()) break;  // a lone '%' at the end is dropped
    out += field(templ[i]);
  }
  out.resize(TrimEndView(out).size());
  return out;
}

std::string ExpandCardMessage(const TDBRow& card, const std::string& templ,
                              const TDBRow& cardType, const std::string& cardText) {
  return ExpandMessageTemplate(templ, [&](char code) -> std::string {
    switch (code) {
      case '1':
      case '2':
      case '3':
      case '4':
        return card.FieldAsString(std::string("misc_") + code);
      case 'c':
        return cardText.empty() ? card.FieldAsString("number") : cardText;
      case 'd': {
        if (cardType.FieldAsBoolean("debit_flg")) return card.FieldAsString("debit_left");
        // Whole days from today's midnight, truncated toward zero: negative
        // once the period has ended.
        const long long ms = detail::Ms(card.FieldAsDateTime("exp_iry")) - detail::Ms(Date());
        return std::to_string(ms / 86400000);
      }
      case 'f':
        return card.FieldAsString("first_name");
      case 'l':
        return card.FieldAsString("last_name");
      case 's':
        return card.FieldAsString("str_eet");
      default:
        return "";  // unknown codes (upper case included) give nothing
    }
  });
}

}  // namespace orlo
