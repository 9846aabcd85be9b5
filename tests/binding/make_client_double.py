#!/usr/bin/env python3
"""Writes the stand-in update client of the binding tests from the one list of entry points.

    make_client_double.py ENTRY_POINTS_H CLIENT_H DOUBLE_OUT CALLS_OUT

ENTRY_POINTS_H is the binding's list (X(name, required), in binding order), CLIENT_H the public
header with each entry point's prototype. Two files come out:

DOUBLE_OUT  (C, included by UpdateClientDouble.c) one definition per entry point with its own
            prototype, each left out when ORVEL_DOUBLE_WITHOUT_<name> is defined. It reports the
            call with its arguments to the probe and answers by its result type: an int with
            answerNumber(binding number, first text argument), a text, a context or a version
            built from its first text argument.
CALLS_OUT   (C++, included by Forwarders_test.cpp) for every entry point with an int result, the
            call of its forwarder with arguments that differ by position, and the report the
            double makes of that call, so a forwarder that reaches the wrong entry point or
            passes an argument in the wrong place shows. Pointer arguments point into the
            test's ForwarderArguments, whose shown() gives their text as the double's %p does.
"""
import re
import sys


def entry_points(path):
    text = open(path, encoding='utf-8').read()
    return [name for name, _ in re.findall(r'X\((\w+),\s*(true|false)\)', text)]


def prototypes(path):
    text = re.sub(r'/\*.*?\*/', ' ', open(path, encoding='utf-8').read(), flags=re.S)
    found = {}
    # A declaration begins a line: result type, name, parameters, semicolon.
    declarations = re.findall(r'^([A-Za-z_][\w \t*]*?)\s*\b(\w+)\s*\(([^)]*)\)\s*;', text, re.M)
    for result, name, params in declarations:
        params = ' '.join(params.split())
        split = []
        if params != 'void':
            for param in params.split(','):
                kind, pname = re.match(r'\s*(.*?)\s*(\w+)\s*$', param).groups()
                split.append((' '.join(kind.replace('*', ' * ').split()).replace(' *', '*'), pname))
        found[name] = (' '.join(result.replace('*', ' * ').split()).replace(' *', '*'), split)
    return found


# How an argument of each type is shown in a report, and made by the forwarder test.
def shown(kind, name):
    if kind == 'const char*':
        return '%s', 'text(%s)' % name
    if kind == 'unsigned int':
        return '%u', name
    if kind == 'int':
        return '%d', name
    return '%p', '(const void*)%s' % name


def made(kind, position):
    """The argument the forwarder test passes at position, and how the double's report shows it:
    ('text', literal) or ('code', a C++ expression giving the text)."""
    if kind == 'const char*':
        return '"t%d"' % position, ('text', 't%d' % position)
    if kind == 'unsigned int':
        return '%du' % (100 + position), ('text', '%d' % (100 + position))
    if kind == 'int':
        return '%d' % (-10 - position), ('text', '%d' % (-10 - position))
    if kind == 'QxuProgressCallback':
        return '&progress', ('code', 'a.shown(reinterpret_cast<const void*>(&progress))')
    return ('a.pointer<%s>(%d)' % (kind, position),
            ('code', 'a.shown(a.slots[%d])' % position))


def first_text(params):
    return next((name for kind, name in params if kind == 'const char*'), 'NULL')


def report_format(name, params):
    return '%s(%s)' % (name, ','.join(shown(kind, pname)[0] for kind, pname in params))


def double_definition(number, name, result, params):
    signature = ', '.join('%s %s' % p for p in params) or 'void'
    values = ''.join(', ' + shown(kind, pname)[1] for kind, pname in params)
    answers = {
        'int': 'return answerNumber(%d, %s);' % (number, first_text(params)),
        'const char*': 'return answerText();',
        'QxuContext': 'return answerContext();',
        'QxuVersionBuild': 'return answerVersion(%s);' % first_text(params),
    }
    if result not in answers:
        sys.exit('no answer for the result type %s of %s' % (result, name))
    return ('#ifndef ORVEL_DOUBLE_WITHOUT_%s\n%s %s(%s) {\n  enter("%s"%s);\n  %s\n}\n'
            '#endif\n' % (name, result, name, signature, report_format(name, params), values,
                          answers[result]))


def forwarder_call(number, name, params):
    arguments = [made(kind, position) for position, (kind, _) in enumerate(params)]
    call = ', '.join(argument for argument, _ in arguments)
    pieces, text = [], name + '('
    for position, (_, (how, shown_as)) in enumerate(arguments):
        text += ',' if position else ''
        if how == 'text':
            text += shown_as
        else:
            pieces += ['std::string("%s")' % text, shown_as]
            text = ''
    pieces.append('std::string("%s)")' % text)
    report = ' + '.join(pieces)
    def parameter(code):
        return 'ForwarderArguments& a' if 'a.' in code else 'ForwarderArguments&'
    return ('    {"%s", %d, [](%s) { return ORVEL::%s(%s); },\n'
            '     [](%s) { return %s; }},\n'
            % (name, number, parameter(call), name, call, parameter(report), report))


def main(list_path, header_path, double_out, calls_out):
    names = entry_points(list_path)
    declared = prototypes(header_path)
    missing = [name for name in names if name not in declared]
    if missing:
        sys.exit('no prototype in %s for %s' % (header_path, ', '.join(missing)))
    banner = 'Generated by tests/binding/make_client_double.py; do not edit.'
    with open(double_out, 'w', encoding='utf-8') as out:
        out.write('/* %s */\n' % banner)
        for number, name in enumerate(names, 1):
            out.write(double_definition(number, name, *declared[name]))
    with open(calls_out, 'w', encoding='utf-8') as out:
        out.write('// %s\n' % banner)
        for number, name in enumerate(names, 1):
            result, params = declared[name]
            if result == 'int':
                out.write(forwarder_call(number, name, params))


if __name__ == '__main__':
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    main(*sys.argv[1:])
