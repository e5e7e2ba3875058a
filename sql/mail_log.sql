-- The optional delivery log. The service never creates it: when this table exists, every outcome of
-- a queued message for one recipient gets a row, written in the same transaction as the change of
-- the queued row, so the log never says "delivered" for mail still queued nor misses mail sent.
-- Rows older than the setting log.days (default 30; 0 keeps them) are removed once a day.
--
-- Outcome: delivered, pending (refused for now, retried later), refused (for good), given up
-- (pending for longer than email.retry.hours), unconfirmed (no answer to the end of the message:
-- it may have arrived, so it is not sent again).
CREATE TABLE mail_log (
  ID BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  SpoolerID INT NOT NULL,             -- mail_spooler.ID of the queued row
  Recipient VARCHAR(255) NOT NULL,    -- the recipient as queued (or one address of it)
  MessageID VARCHAR(255) NULL,        -- the Message-ID the message carried, angle brackets included
  Outcome VARCHAR(16) NOT NULL,
  ReplyCode SMALLINT NULL,            -- the server's reply code, when one came
  EnhancedStatus VARCHAR(16) NULL,    -- its enhanced status code, such as 4.7.1
  ReplyText VARCHAR(512) NULL,        -- the reply's text (or the reason when there was none), cut at 512 bytes
  LoggedAt DATETIME NOT NULL,         -- the database server's time of the change
  KEY mail_log_spooler (SpoolerID),
  KEY mail_log_time (LoggedAt)
) ENGINE=InnoDB DEFAULT CHARSET=latin1;
