print "Content-type: text/plain\r\n\r\nhello\n";
