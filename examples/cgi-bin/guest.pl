# A Perl script: run through the Perl interpreter of the settings, it reads
# the posted form on standard input and replies on standard output.
use strict;
use warnings;

my $body = '';
read(STDIN, $body, $ENV{CONTENT_LENGTH} || 0);
my %form;
for my $pair (split /&/, $body) {
    my ($name, $value) = split /=/, $pair, 2;
    for ($name, $value) {
        next unless defined;
        tr/+/ /;
        s/%([0-9A-Fa-f]{2})/chr(hex($1))/ge;
    }
    $form{$name} = $value // '';
}
sub escaped { my $t = shift // ''; $t =~ s/&/&amp;/g; $t =~ s/</&lt;/g; $t =~ s/>/&gt;/g; return $t; }

print "Content-type: text/html\r\n\r\n";
print "<html><head><title>Perl says hello</title></head><body>\n";
printf "<h1>Hello, %s!</h1>\n", escaped($form{name} || 'stranger');
printf "<p>Your favourite colour is <b>%s</b>.</p>\n", escaped($form{colour} || 'a secret');
print "<p><a href=\"/programs.htm\">Back to the programs page</a></p></body></html>\n";
