#!/usr/bin/perl
# A program's --help as help2man should read it for an operator's man page:
#   help-for-man.pl PROGRAM [COMMAND...] (--help | --version)
# Keeps the option lists (the program's, then each command's under a heading of its own),
# written for a reader: "-p, --port PORT" with the default, range, requirement and
# exclusions put into the description instead of the parser's notation
# ("PORT:INT in [1 - 65535]=69 REQUIRED"). The "Exit status:" paragraph becomes the
# EXIT STATUS section, one entry per code. The rest of --help (its first sentence, usage,
# environment, notes) is what the page's include file says in full, so it is left out.
use strict;
use warnings;

my ($program, @commands) = @ARGV;
# Printed only once all is known: help2man fails on empty output, not on a partial one.
my $out = '';
my $request = pop @commands // '';
if ($request ne '--help') {
    exec $program, $request or die "cannot run $program: $!\n";
}

sub help_of {
    my @command = @_;
    my $text = qx('$program' @command --help);
    die "$program @command --help failed\n" if $? != 0;
    return $text;
}

# Folds the parser's notation of one option into plain words.
sub option_item {
    my ($names, $rest, $description) = @_;
    $names =~ s/,(?=-)/, /g;
    my @notes;
    $rest //= '';
    push @notes, 'not with ' . join(', ', split ' ', $1) if $rest =~ s/ Excludes:((?: \S+)+)$//;
    unshift @notes, 'needs ' . join(', ', split ' ', $1) if $rest =~ s/ Needs:((?: \S+)+)$//;
    unshift @notes, "or the environment variable $1" if $rest =~ s/ \(Env:(\S+)\)$//;
    unshift @notes, 'required' if $rest =~ s/ REQUIRED$//;
    my $many = $rest =~ s/ (?:\.\.\.|x \d+)$// ? '...' : '';
    my $value = '';
    if ($rest =~ /^([^\s:=]+)(?::(.*?))?(?:=(\S+))?$/) {
        my ($text, $type, $default) = ($1, $2 // '', $3);
        $value = " $text$many";
        unshift @notes, "$1 to $2" if $type =~ /\[(\S+) - (\S+)\]/;
        unshift @notes, "default $default" if defined $default && $description !~ /default/i;
    }
    if (@notes) {
        my $words = join '; ', @notes;
        if ($description =~ /\((?:default|[^()]*\bdefault\b)[^()]*\)$/) {
            $description =~ s/\)$/; $words)/;
        } elsif ($description =~ /\)$/) {
            $description .= "; $words";
        } else {
            $description .= " ($words)";
        }
    }
    return sprintf "  %-28s%s\n", "$names$value", $description;
}

# The blocks of a CLI11 help text: heading, then items (a line at two spaces with its
# continuation lines further in), then what follows them.
sub blocks {
    my ($text) = @_;
    my (@blocks, $block, @footer);
    for my $line (split /\n/, $text) {
        if ($line =~ /^(\S.*):$/) {
            $block = { heading => $1, items => [] };
            push @blocks, $block;
        } elsif ($block && $line =~ /^  (\S.*)$/) {
            push @{ $block->{items} }, $1;
        } elsif ($block && $line =~ /^ {10,}(\S.*)$/ && @{ $block->{items} }) {
            $block->{items}[-1] .= "\n$1";
        } else {
            undef $block;
            push @footer, $line;
        }
    }
    return (\@blocks, join("\n", @footer));
}

sub print_block {
    my ($heading, $items) = @_;
    $out .= "$heading:\n";
    for my $item (@$items) {
        my ($first, @more) = split /\n/, $item;
        my ($left, $description) = $first =~ /^(.*?)(?: {2,}(\S.*))?$/;
        $description = join ' ', grep { defined && length } $description, @more;
        my ($names, $rest) = $left =~ /^(\S+)(?: (.*))?$/;
        if ($names =~ /^-/) {
            $out .= option_item($names, $rest, $description);
        } else {
            $out .= sprintf "  %-28s%s\n", $left, $description;
        }
    }
    $out .= "\n";
}

my $help = help_of();
my ($blocks, $footer) = blocks($help);
my %title = (Options => 'Options', Positionals => 'Arguments', Subcommands => 'Commands');
my ($options) = grep { $_->{heading} eq 'Options' } @$blocks;
die "$program --help has no Options: list\n" unless $options;
# help2man starts the OPTIONS section at the first "Options:".
print_block('Options', $options->{items});
for my $block (@$blocks) {
    next if $block == $options;
    my $first = $block->{items}[0] // '';
    # Option groups have options; other indented lists (files, say) are prose.
    next unless $title{ $block->{heading} } || $first =~ /^-/;
    print_block($title{ $block->{heading} } // $block->{heading}, $block->{items});
}
for my $command (@commands) {
    my ($command_blocks) = blocks(help_of($command));
    for my $block (@$command_blocks) {
        next unless $block->{heading} eq 'Options' || ($block->{items}[0] // '') =~ /^-/;
        my @items = grep { !/^-h,--help\b/ } @{ $block->{items} };
        my $name = $program =~ s{.*/}{}r;
        my $suffix = $block->{heading} eq 'Options' ? '' : " ($block->{heading})";
        print_block("Options of $name $command$suffix", \@items);
    }
}

# "Exit status: 0 done, 1 failure, 2 usage error." over one or more lines, up to the line
# that ends the sentence.
if ($footer =~ /^Exit status:[ \t]*(.*?\.)[ \t]*$/ms) {
    (my $codes = $1) =~ s/\s+/ /g;
    $codes =~ s/\.$//;
    $out .= "*Exit Status*\n";
    for my $entry (split /, (?=\d+ )/, $codes) {
        my ($code, $meaning) = $entry =~ /^(\d+) (.*)$/ or die "exit status entry '$entry'\n";
        $out .= sprintf "  %-6s%s\n", $code, $meaning;
    }
}
print $out;
