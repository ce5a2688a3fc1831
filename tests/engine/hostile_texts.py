"""Texts that mean something to some reader of SQL text: placeholders,
quotes, comments, statement ends, the library's own QXTBLSTRUCT, each
dialect's literal prefixes. Every face and backend stores each exactly as
passed, and runs the statement that was written."""

HOSTILE = [
    "", "plain", "Why?", "?", "??", "??::", "ok?", "? ?1 ?2", ":name", ":name @name $name #x", "a::b",
    "$1", "$1 $2", "$$", "$q$", "$q$ x $q$", "a$b$", "a$b$ x'41'",
    "x; delete from victim;", "a;b; delete from victim;", "x'; drop table victim; select 'gone", "x' or '1'='1",
    "-- not a comment", "/* not a comment", "not */ either", "/* nor this */",
    'QXTBLSTRUCT("t")', "QXTBLSTRUCT('t')", "x') from QXTBLSTRUCT('t') --",
    "C:\\", "C:\\'", "\\'", "back\\slash\\", "\\'); delete from victim; --",
    "it's", "O'Brien", "''", "'", "'" * 1000, 'say "hi"', '"quoted"', "[bracket]", "`tick`",
    "x'41'", "E'\\x41'", "E'\\''", "U&'\\0041'", "U&'x'",
    "\n;\n", "tab\there\nnewline\r", "trailing blanks   ", "  leading", "Привет?", "Иванов Пётр",
    "x" * 100_000,
]
