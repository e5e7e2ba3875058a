-- The tables that the service reads and writes, as it expects them. The service itself never
-- creates or alters a table: this file is for test servers and demonstrations.

CREATE TABLE configs (
  Propriedade VARCHAR(255) NOT NULL,
  Valor VARCHAR(255) NULL
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

CREATE TABLE alarmes (
  ID INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  Data DATE NULL,
  Hora TIME NULL,
  Alarme INT NULL,
  Email INT NULL,
  SMS INT NULL,
  EmailDest TEXT NULL,
  EmailAssunto VARCHAR(255) NULL,
  EmailAnexo VARCHAR(255) NULL,
  EmailTexto VARCHAR(255) NULL,
  SMSDest TEXT NULL,
  SMSTexto VARCHAR(255) NULL
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

CREATE TABLE mail_spooler (
  ID INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  Remetente VARCHAR(255) NULL,
  Destinatario VARCHAR(255) NULL,
  Assunto VARCHAR(255) NULL,
  Texto TEXT NULL,
  Anexos TEXT NULL
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

-- The service looks objects up by UID and chunks by UID and number: without these indexes every
-- chunk read scans the whole table, which makes large attachments take minutes.
CREATE TABLE objectos_id (
  UID VARCHAR(64) NOT NULL,
  Nome VARCHAR(255) NULL,
  KEY objectos_id_uid (UID)
) ENGINE=InnoDB DEFAULT CHARSET=latin1;

CREATE TABLE ficheiros (
  UID VARCHAR(64) NOT NULL,
  ID INT NOT NULL,
  package LONGBLOB NULL,
  KEY ficheiros_chunk (UID, ID)
) ENGINE=InnoDB DEFAULT CHARSET=latin1;
